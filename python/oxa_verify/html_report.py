"""The auditor's report: one self-contained HTML file from a verification report.

The page is rendered by one jinja2 template with autoescaping on; the charts
are matplotlib figures written as inline SVG (text drawn as paths, so no
font is fetched). The file makes no request of any kind, holds no script,
and prints on A4 with no chart cut across pages.

Everything shown comes from the report dict (``verify_log``'s, or the
command's ``--json``), including its ``statistics`` member, which the
verifier gathers in its own pass over the log.
"""

import datetime
import io
import os
import re
import shlex

__all__ = ["write_html_report", "MissingReportPackage", "missing_report_packages"]

# The Python packages the report needs, by import name, in the order asked for.
REPORT_PACKAGES = ("jinja2", "matplotlib")
INSTALL_HINT = "pip install 'tvel_oxa[report]'"
TEMPLATE_NAME = "report.html.j2"

# Bounds that keep the file small for any log (the verifier bounds the rest).
PROBLEM_ROW_LIMIT = 1000
WARNING_ROW_LIMIT = 200
CHAIN_BAND_LIMIT = 30
CHAIN_TABLE_LIMIT = 50

# oxa-verify options that take a value, so that the pieces can be told from them.
VALUE_OPTIONS = frozenset(
    ["--public-key", "--anchor", "--jobs", "--checkpoints", "--notary-key", "--proof", "--policy", "--html"]
)
HTML_OPTION = "--html"

EVENT_STYLES = {
    # kind: (marker, colour, legend label)
    "chain-break": ("X", "#c0392b", "chain break"),
    "fork": ("D", "#e67e22", "fork"),
    "replay-mismatch": ("^", "#8e44ad", "replay mismatch"),
    "replay-stopped": ("|", "#555555", "replay stopped"),
}

# One colour that only its chart uses, so that a rendering of the page can be
# checked chart by chart.
CHART_COLOURS = {
    "chart-records": "#2e6da4",
    "chart-chains": "#7fa7cf",
    "chart-scores": "#b5d3a7",
    "chart-core-insight": "#27ae60",
    "chart-sealing": "#b08d57",
    "chart-reviews": "#7d3c98",
}
PROBLEM_COLOUR = "#c0392b"
UNCHECKED_COLOUR = "#bbbbbb"  # the sealing chart's one bar when no checkpoints were checked
# The sealing chart's parts besides its own colour (the sealed lines, or with a
# witness policy the witnessed ones).
SEALED_UNWITNESSED_COLOUR = "#e8d9b5"
UNSEALED_COLOUR = "#e67e22"

HASH_ONLY_KIND = "hash-only"
NO_CHECKPOINTS_TEXT = (
    "No checkpoints were given: each record's hash, signature and place in its chain were checked, but not "
    "that the log is whole. A chain removed entirely, records of an old chain appended again, or text moved "
    "between provenance, place, purpose and prompt are only caught against a notary's checkpoints "
    "(--checkpoints FILE --notary-key VKEY)."
)


class MissingReportPackage(ImportError):
    """A package the HTML report needs is not installed; ``packages`` names them."""

    def __init__(self, packages):
        self.packages = tuple(packages)
        super().__init__(
            f"the HTML report needs the Python package{'s' if len(self.packages) > 1 else ''} "
            f"{', '.join(self.packages)}: {INSTALL_HINT}"
        )


def missing_report_packages():
    """The names of the report's packages that cannot be imported."""
    import importlib.util

    return [name for name in REPORT_PACKAGES if importlib.util.find_spec(name) is None]


def _require_packages():
    missing = missing_report_packages()
    if missing:
        raise MissingReportPackage(missing)


# --- plain values for the template ---------------------------------------------------------------


def _parse_time(text):
    """A UTC datetime from the verifier's bucket text, or None for a time Python cannot hold."""
    if not text:
        return None
    try:
        return datetime.datetime.strptime(text[:19], "%Y-%m-%dT%H:%M:%S").replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        return None


def _command_parts(argv):
    """The check's own arguments (without --html), and the pieces among them."""
    args, pieces = [], []
    i = 0
    options_end = False
    while i < len(argv):
        arg = argv[i]
        if options_end or arg == "-" or not arg.startswith("-"):
            args.append(arg)
            pieces.append(arg)
        elif arg == "--":
            options_end = True
            args.append(arg)
        elif arg.split("=", 1)[0] == HTML_OPTION:
            if "=" not in arg:
                i += 1
        else:
            args.append(arg)
            if "=" not in arg and arg in VALUE_OPTIONS and i + 1 < len(argv):
                i += 1
                args.append(argv[i])
        i += 1
    return args, pieces


def _option_value(argv, name):
    for i, arg in enumerate(argv):
        if arg == name and i + 1 < len(argv):
            return argv[i + 1]
        if arg.startswith(name + "="):
            return arg[len(name) + 1 :]
    return None


def _plural(count, word, words=None):
    return f"{count:,} {word if count == 1 else (words or word + 's')}"


def _verdict(report):
    problems = len(report.get("problems", [])) + report.get("problems_not_listed", 0)
    records = report.get("records", 0)
    chains = len(report.get("chains", []))
    if report.get("ok"):
        return True, (
            f"No problem found: all {_plural(records, 'record')} in {_plural(report.get('lines', 0), 'line')} "
            f"and {_plural(chains, 'chain')} passed every check that was made."
        )
    first = next((p for p in report.get("problems", []) if p.get("line")), None)
    where = f", the first at line {first['line']:,}" if first else ""
    return False, f"FAILED: {_plural(problems, 'problem')} found in {_plural(report.get('lines', 0), 'line')}{where}."


def _witness_policy(report):
    """The report's checkpoints member when a witness policy was checked, else None."""
    checkpoints = report.get("checkpoints")
    if isinstance(checkpoints, dict) and "witnesses" in checkpoints:
        return checkpoints
    return None


def _witness_detail(policy):
    witnesses = ", ".join(policy.get("witnesses") or []) or "none"
    text = (f"cosignatures of every checkpoint checked against the policy's witnesses ({witnesses}) and its quorum "
            f"{policy.get('quorum', '')}")
    last = policy.get("last_witnessed")
    if last:
        return (text + f"; the last witnessed checkpoint has size {last['size']:,}, cosigned by "
                + (", ".join(last.get("witnesses") or []) or "no witness (none needed)"))
    return text + "; no checkpoint meets the quorum"


def _checks(report, statistics, argv):
    warnings = report.get("warnings", [])
    stopped = sum(1 for w in warnings if w.get("kind") == "replay-stopped") + report.get("warnings_not_listed", 0)
    sealing = statistics.get("sealing")
    witnessed = _witness_policy(report)
    hash_only = next((w["message"] for w in warnings if w.get("kind") == HASH_ONLY_KIND), None)
    checks = [
        ("Content hash and signature", True, "every record's content hash recomputed and its signature verified"),
        ("Chains", True, "every record's place in its engine's hash chain followed: breaks and forks reported"),
        (
            "Replay of the consistency analysis",
            True,
            "coherence and reputation replayed along each chain"
            + (f"; replay stopped at {_plural(stopped, 'point')} (see warnings)" if stopped else ""),
        ),
        (
            "Checkpoints",
            bool(sealing),
            (
                f"{_plural(sealing['checkpoints'], 'checkpoint')} of origin {sealing['origin']!r} checked against "
                f"every sealed line"
            )
            if sealing
            else (hash_only or NO_CHECKPOINTS_TEXT),
        ),
        (
            "Witnesses",
            bool(witnessed),
            _witness_detail(witnessed) if witnessed else "no witness policy given (--policy FILE)",
        ),
    ]
    anchors = [arg for arg in argv or [] if arg.startswith("--anchor")]
    if anchors:
        checks.append(("Anchors", True, "every anchor root given was looked for among the records"))
    return [{"name": n, "done": d, "detail": t} for n, d, t in checks]


def _identity(report, statistics, argv):
    keys = report.get("public_keys") or [report.get("public_key", "")]
    if report.get("key_source") == "key-file":
        source = f"derived from the key file {report.get('key_file', '')} beside the log (not independent)"
    else:
        source = "given with --public-key"
    sealing = statistics.get("sealing")
    policy = _witness_policy(report) or {}
    last = policy.get("last_witnessed") or {}
    notary_key = _option_value(argv or [], "--notary-key")
    policy_file = _option_value(argv or [], "--policy")
    if notary_key is None and policy_file is not None:
        notary_key = f"the log line of the policy {policy_file}"
    return {
        "public_keys": keys,
        "key_source": source,
        "notary_origin": sealing["origin"] if sealing else None,
        "notary_key": notary_key,
        "policy_witnesses": list(policy.get("witnesses") or []),
        "witnesses": list(last.get("witnesses") or []),
        "witnessed_size": last.get("size"),
        "quorum": policy.get("quorum"),
    }


def _problems(report, statistics):
    lines = {entry["line"]: entry for entry in statistics.get("problem_lines", [])}
    rows = []
    for problem in report.get("problems", [])[:PROBLEM_ROW_LIMIT]:
        entry = lines.get(problem.get("line"))
        rows.append(
            {
                "kind": problem.get("kind", ""),
                "line": problem.get("line", 0),
                "message": problem.get("message", ""),
                "text": entry["text"] if entry else None,
                "cut": bool(entry and entry.get("cut")),
            }
        )
    listed = len(report.get("problems", []))
    hidden = max(0, listed - PROBLEM_ROW_LIMIT) + report.get("problems_not_listed", 0)
    return rows, hidden


def _chains(report, statistics):
    rows = []
    timed = statistics.get("chains", [])
    for index, chain in enumerate(report.get("chains", [])[:CHAIN_TABLE_LIMIT]):
        times = timed[index] if index < len(timed) else {}
        events = times.get("events", [])
        rows.append(
            {
                "number": index + 1,
                "first_line": chain.get("first_line"),
                "last_line": chain.get("last_line"),
                "records": chain.get("records"),
                "first_time": times.get("first_time", ""),
                "last_time": times.get("last_time", ""),
                "events": ", ".join(f"{e['kind']} at line {e['line']:,}" for e in events[:5])
                + (" ..." if len(events) > 5 else ""),
            }
        )
    return rows, max(0, len(report.get("chains", [])) - CHAIN_TABLE_LIMIT)


def _sealing_rows(report, statistics):
    lines = report.get("lines", 0)
    sealing = statistics.get("sealing")
    if not sealing:
        return None
    sealed = max(0, min(lines, sealing["sealed_lines"] - sealing["start_size"]))
    rows = {"lines": lines, "sealed": sealed, "unsealed": lines - sealed, "start_size": sealing["start_size"],
            "witnessed": None}
    policy = _witness_policy(report)
    if policy:
        rows["witnessed"] = max(0, min(sealed, policy.get("witnessed_lines", 0)))
    return rows


# --- charts --------------------------------------------------------------------------------------

_COMMENT_PATTERN = re.compile(r"<!--.*?-->", re.DOTALL)
_ID_PATTERN = re.compile(r'(id="|href="#|url\(#)([A-Za-z0-9_.:-]+)')


def _svg(figure, prefix):
    """The figure as an inline <svg> element, its ids made unique to the page."""
    import matplotlib

    buffer = io.StringIO()
    with matplotlib.rc_context({"svg.fonttype": "path", "svg.hashsalt": prefix}):
        figure.savefig(buffer, format="svg", metadata={"Date": None, "Creator": None}, bbox_inches="tight")
    text = buffer.getvalue()
    text = text[text.index("<svg") :]
    # matplotlib notes each text in a comment beside its glyphs; the log's text
    # is already drawn (and escaped there), so the comments go.
    text = _COMMENT_PATTERN.sub("", text)
    # Several SVGs share one document: their ids (glyphs, clip paths) must not collide.
    return _ID_PATTERN.sub(lambda m: f"{m.group(1)}{prefix}-{m.group(2)}", text)


def _new_figure(height=3.0):
    from matplotlib.figure import Figure

    figure = Figure(figsize=(9.0, height), dpi=96)
    return figure


def _time_axis(axis):
    import matplotlib.dates as mdates

    locator = mdates.AutoDateLocator(maxticks=10)
    axis.xaxis.set_major_locator(locator)
    axis.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    axis.grid(True, axis="y", color="#dddddd", linewidth=0.6)


def _bucket_series(statistics):
    buckets = []
    for bucket in statistics.get("buckets", []):
        start = _parse_time(bucket.get("start"))
        if start is not None:
            buckets.append((start, bucket))
    return buckets


def _chart_records(statistics):
    buckets = _bucket_series(statistics)
    width = datetime.timedelta(seconds=statistics.get("bucket_seconds", 3600))
    figure = _new_figure()
    axis = figure.add_subplot()
    unit = "hour" if width <= datetime.timedelta(hours=1) else "day" if width <= datetime.timedelta(days=1) else "bucket"
    if buckets:
        times = [start for start, _ in buckets]
        axis.bar(times, [b["records"] for _, b in buckets], width=width * 0.9, align="edge",
                 color=CHART_COLOURS["chart-records"], label="records")
        bad = [(start, b["problems"] + b.get("unreadable", 0)) for start, b in buckets
               if b["problems"] or b.get("unreadable")]
        if bad:
            top = max(b["records"] for _, b in buckets) or 1
            for start, _ in bad:
                axis.axvspan(start, start + width, color=PROBLEM_COLOUR, alpha=0.25, linewidth=0)
            axis.scatter([s + width / 2 for s, _ in bad], [top * 1.05] * len(bad), marker="v", color=PROBLEM_COLOUR,
                         zorder=3, label="buckets with problems")
            for start, count in bad:
                axis.annotate(str(count), (start + width / 2, top * 1.08), ha="center", fontsize=7, color=PROBLEM_COLOUR)
            axis.set_ylim(0, top * 1.18)
        _time_axis(axis)
        axis.legend(loc="upper left", fontsize=8)
    axis.set_ylabel(f"records per {unit}")
    return figure


def _chart_chains(report, statistics):
    chains = statistics.get("chains", [])[:CHAIN_BAND_LIMIT]
    figure = _new_figure(max(2.0, 0.9 + 0.28 * len(chains)))
    axis = figure.add_subplot()
    seen = set()
    for index, chain in enumerate(chains):
        first, last = _parse_time(chain.get("first_time")), _parse_time(chain.get("last_time"))
        if first is None or last is None:
            continue
        if last == first:
            last = first + datetime.timedelta(seconds=30)
        axis.plot([first, last], [index + 1, index + 1], linewidth=6, color=CHART_COLOURS["chart-chains"], solid_capstyle="butt")
        for event in chain.get("events", []):
            marker, colour, label = EVENT_STYLES.get(event.get("kind"), ("o", "#000000", event.get("kind", "")))
            when = _parse_time(event.get("time"))
            if when is None:
                continue
            axis.scatter([when], [index + 1], marker=marker, color=colour, s=60, zorder=3,
                         label=None if label in seen else label)
            seen.add(label)
    axis.set_ylim(len(chains) + 0.8, 0.2)
    axis.set_yticks(range(1, len(chains) + 1))
    axis.set_ylabel("chain")
    _time_axis(axis)
    if seen:
        axis.legend(loc="lower right", fontsize=8)
    return figure


def _chart_scores(report, statistics):
    buckets = _bucket_series(statistics)
    width = datetime.timedelta(seconds=statistics.get("bucket_seconds", 3600))
    figure = _new_figure(5.0)
    axes = figure.subplots(2, 1, sharex=True)
    for row, (name, axis) in enumerate(zip(("coherence", "reputation"), axes)):
        points = [(start + width / 2, b[name]) for start, b in buckets if b.get(name)]
        if points:
            times = [t for t, _ in points]
            axis.fill_between(times, [s[1] for _, s in points], [s[2] for _, s in points],
                              color=CHART_COLOURS["chart-scores"],
                              step="mid", label="all chains: lowest to highest")
            axis.plot(times, [s[0] for _, s in points], color="#333333", linewidth=1.2, label="all chains: mean")
        for index, chain in enumerate(statistics.get("chains", [])):
            series = [(_parse_time(s.get("start")), s.get(name)) for s in chain.get("scores", [])]
            series = [(t + width / 2, v[0]) for t, v in series if t is not None and v]
            if series:
                axis.plot([t for t, _ in series], [v for _, v in series], marker=".", linewidth=0.9,
                          label=f"chain {index + 1}")
        axis.set_ylabel(name)
        _time_axis(axis)
        if row == 0 and (points or any(c.get("scores") for c in statistics.get("chains", []))):
            axis.legend(loc="center left", bbox_to_anchor=(1.01, 0.0), fontsize=7)
    return figure


def _chart_core_insight(statistics):
    buckets = _bucket_series(statistics)
    width = datetime.timedelta(seconds=statistics.get("bucket_seconds", 3600))
    figure = _new_figure(2.4)
    axis = figure.add_subplot()
    shown = [(start, 100.0 * b["core_insight"] / b["records"]) for start, b in buckets if b["records"]]
    if shown:
        axis.bar([s for s, _ in shown], [v for _, v in shown], width=width * 0.9, align="edge",
               color=CHART_COLOURS["chart-core-insight"])
    axis.set_ylim(0, 105)
    axis.set_ylabel("% with core insight")
    _time_axis(axis)
    return figure


def _chart_sealing(sealing_rows, report):
    figure = _new_figure(1.6)
    axis = figure.add_subplot()
    lines = report.get("lines", 0)
    if sealing_rows and sealing_rows["witnessed"] is not None:
        witnessed = sealing_rows["witnessed"]
        axis.barh([0], [witnessed], color=CHART_COLOURS["chart-sealing"], label="witnessed (quorum met)")
        axis.barh([0], [sealing_rows["sealed"] - witnessed], left=[witnessed], color=SEALED_UNWITNESSED_COLOUR,
                  label="sealed, not witnessed")
        axis.barh([0], [sealing_rows["unsealed"]], left=[sealing_rows["sealed"]], color=UNSEALED_COLOUR,
                  label="unsealed tail")
    elif sealing_rows:
        axis.barh([0], [sealing_rows["sealed"]], color=CHART_COLOURS["chart-sealing"], label="sealed by a checkpoint")
        axis.barh([0], [sealing_rows["unsealed"]], left=[sealing_rows["sealed"]], color=UNSEALED_COLOUR,
                  label="unsealed tail")
    else:
        axis.barh([0], [lines], color=UNCHECKED_COLOUR, label="not checked against checkpoints")
    axis.set_yticks([])
    axis.set_xlim(0, max(lines, 1))
    axis.set_xlabel("log lines")
    axis.legend(loc="upper center", bbox_to_anchor=(0.5, -0.45), ncol=3, fontsize=8)
    return figure


def _chart_reviews(statistics):
    reviews = statistics.get("reviews", [])[:15]
    figure = _new_figure(max(1.8, 0.8 + 0.3 * len(reviews)))
    axis = figure.add_subplot()
    positions = list(range(len(reviews)))
    axis.barh(positions, [r["records"] for r in reviews], color="#d7c4e0", label="records")
    axis.barh(positions, [r["resolved"] for r in reviews], color=CHART_COLOURS["chart-reviews"],
              label="with a resolved review")
    labels = [r["terminal_node"] if len(r["terminal_node"]) <= 40 else r["terminal_node"][:39] + "…" for r in reviews]
    # Log text: drawn as plain text, never read as mathematical markup.
    axis.set_yticks(positions, labels=labels, parse_math=False)
    axis.invert_yaxis()
    axis.set_xlabel("records, by terminal node")
    if reviews:
        axis.legend(loc="lower right", fontsize=8)
    return figure


def _charts(report, statistics, sealing_rows):
    makers = [
        ("chart-records", "Records over time, with problems marked", lambda: _chart_records(statistics)),
        ("chart-chains", "Chains over time: breaks, forks and replay stops", lambda: _chart_chains(report, statistics)),
        ("chart-scores", "Coherence and reputation over time", lambda: _chart_scores(report, statistics)),
        ("chart-core-insight", "Share of records with a core insight", lambda: _chart_core_insight(statistics)),
        ("chart-sealing", "Witnessed and sealed parts of the log against the unsealed tail",
         lambda: _chart_sealing(sealing_rows, report)),
        ("chart-reviews", "Human review by terminal node", lambda: _chart_reviews(statistics)),
    ]
    charts = []
    for chart_id, title, make in makers:
        figure = make()
        charts.append({"id": chart_id, "title": title, "svg": _svg(figure, chart_id)})
    return charts


# --- the page ------------------------------------------------------------------------------------


def render_html_report(report, argv=None):
    """The report page as text. ``argv``: the oxa-verify arguments that made the report, if known."""
    _require_packages()
    import jinja2
    from markupsafe import Markup

    statistics = report.get("statistics") or {}
    ok, verdict = _verdict(report)
    args, pieces = _command_parts(list(argv)) if argv is not None else (None, [])
    problems, problems_hidden = _problems(report, statistics)
    chains, chains_hidden = _chains(report, statistics)
    sealing_rows = _sealing_rows(report, statistics)
    charts = _charts(report, statistics, sealing_rows)
    for chart in charts:
        # matplotlib's own output, with the log's text in it escaped by its XML writer.
        chart["svg"] = Markup(chart["svg"])
    warnings = report.get("warnings", [])
    records = report.get("records", 0)
    values = {
        "ok": ok,
        "verdict": verdict,
        "counts": [
            ("lines read", report.get("lines", 0)),
            ("records", records),
            ("chains", len(report.get("chains", []))),
            ("problems", len(report.get("problems", [])) + report.get("problems_not_listed", 0)),
            ("warnings", len(warnings) + report.get("warnings_not_listed", 0)),
        ],
        "checks": _checks(report, statistics, args),
        "command": shlex.join(["oxa-verify"] + args) if args is not None else None,
        "identity": _identity(report, statistics, args),
        "first_time": statistics.get("first_time"),
        "last_time": statistics.get("last_time"),
        "pieces": pieces,
        "charts": charts,
        "core_insight": statistics.get("core_insight", 0),
        "core_insight_share": (100.0 * statistics.get("core_insight", 0) / records) if records else 0.0,
        "reviews": statistics.get("reviews", []),
        "reviews_resolved": statistics.get("reviews_resolved", 0),
        "sealing": sealing_rows,
        "chains": chains,
        "chains_hidden": chains_hidden,
        "problems": problems,
        "problems_hidden": problems_hidden,
        "warnings": warnings[:WARNING_ROW_LIMIT],
        "warnings_hidden": max(0, len(warnings) - WARNING_ROW_LIMIT) + report.get("warnings_not_listed", 0),
        "generated": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC"),
    }
    environment = jinja2.Environment(
        loader=jinja2.FileSystemLoader(os.path.join(os.path.dirname(__file__), "templates")),
        autoescape=True,
        undefined=jinja2.StrictUndefined,
    )
    return environment.get_template(TEMPLATE_NAME).render(**values)


def write_html_report(report, path, argv=None):
    """Write the auditor's HTML report of ``report`` (a dict from ``verify_log``) to ``path``.

    argv: the oxa-verify arguments the report came from (shown as the command
    that re-runs the check, and the pieces read); without it the page says
    they were not recorded. Raises MissingReportPackage when jinja2 or
    matplotlib is missing (``pip install 'tvel_oxa[report]'``).
    """
    text = render_html_report(report, argv)
    path = os.fsdecode(os.fspath(path))
    temporary = f"{path}.{os.getpid()}.tmp"
    # Written whole, then renamed: a reader never sees half a report.
    try:
        with open(temporary, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
