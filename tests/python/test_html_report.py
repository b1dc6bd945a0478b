"""The auditor's HTML report: the statistics the verifier gathers for it, checked against the log read
independently; the page's content, escaping and self-containment; the command's --html option; and the
page in a real browser (headless chromium with the network cut)."""
import collections
import datetime
import html.parser
import json
import os
import base64
import hashlib
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

import oxa_verify
import tvel_oxa
from oxa_verify import cli, html_report

pytestmark = pytest.mark.integration

OXA_VERIFY = str(Path(sys.executable).with_name("oxa-verify"))

SCRIPT_PROMPT = "<script>alert(1)</script>"
HOSTILE_NODE = '<img src=x onerror="alert(2)"> $x^2$'
WRITERS = "AABACBACCBABCABBCA"
SCRIPT_LINE = 4  # the record whose prompt is SCRIPT_PROMPT
START = datetime.datetime(2026, 3, 1, 8, 5, tzinfo=datetime.timezone.utc)
STEP = datetime.timedelta(minutes=17)


def stamp(when):
    return when.strftime("%Y-%m-%dT%H:%M:%S.%f") + "+00:00"


def edit(line, change):
    record = json.loads(line)
    change(record)
    return (json.dumps(record, separators=(",", ":"), ensure_ascii=False) + "\n").encode()


def retimed(lines, times):
    """The lines with their time stamps replaced (the time stamp is outside the content hash)."""
    return [edit(line, lambda r, t=t: r.__setitem__("timestamp", t)) for line, t in zip(lines, times)]


class Logs:
    """A clean log of three engines with time stamps spread over a few hours, and a damaged copy."""

    def __init__(self, directory):
        self.directory = directory
        self.clean = directory / "clean.wal"
        engines = {name: tvel_oxa.OXAEngine(str(self.clean)) for name in sorted(set(WRITERS))}
        nodes = ["queue", "lead", HOSTILE_NODE]
        for i, name in enumerate(WRITERS):
            review = tvel_oxa.HumanDeltaChain(f"ref-{i}", i % 3 != 0, nodes[i % 3])
            prompt = SCRIPT_PROMPT if i + 1 == SCRIPT_LINE else f"ticket {i}"
            engines[name].capture({"i": i}, prompt, ["t"], "label", tvel_oxa.PPPTriplet("m", "eu", "triage"),
                                  review, auto_insight=i % 4 != 3)
        self.key = engines["A"].public_key_hex()
        lines = retimed(self.clean.read_bytes().splitlines(keepends=True),
                        [stamp(START + i * STEP) for i in range(len(WRITERS))])
        self.clean.write_bytes(b"".join(lines))
        self.lines = lines
        self.records = [json.loads(line) for line in lines]

        # Damaged: the script record's signature flipped, line 9 deleted, a line of bytes that are
        # not UTF-8 put in its place.
        self.damaged = directory / "damaged.wal"
        damaged = list(lines)
        damaged[SCRIPT_LINE - 1] = edit(damaged[SCRIPT_LINE - 1],
                                        lambda r: r["signature"].__setitem__(0, r["signature"][0] ^ 1))
        damaged[8] = b"{\"broken\xff\xfe\": 1}\n"
        self.damaged.write_bytes(b"".join(damaged))
        self.damaged_lines = damaged


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    return Logs(tmp_path_factory.mktemp("report"))


def run(*args, stdin=None):
    result = subprocess.run([OXA_VERIFY, *args], input=stdin, capture_output=True, timeout=300)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def hour_of(text):
    when = datetime.datetime.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")
    return when.replace(minute=0, second=0).strftime("%Y-%m-%dT%H:%M:%S+00:00")


# --- the statistics -----------------------------------------------------------------------------


def test_statistics_of_a_clean_log_match_the_log(logs):
    report = oxa_verify.verify_log(logs.clean, public_key=logs.key)
    statistics = report["statistics"]
    records = logs.records

    assert statistics["bucket_seconds"] == 3600
    per_hour = collections.Counter(hour_of(r["timestamp"]) for r in records)
    assert {b["start"]: b["records"] for b in statistics["buckets"]} == per_hour
    insight_per_hour = collections.Counter(hour_of(r["timestamp"]) for r in records if r["core_insight_json"])
    assert {b["start"]: b["core_insight"] for b in statistics["buckets"] if b["core_insight"]} == insight_per_hour
    assert statistics["core_insight"] == sum(1 for r in records if r["core_insight_json"])
    assert all(b["problems"] == 0 and b["unreadable"] == 0 for b in statistics["buckets"])

    # Scores per bucket: mean, lowest, highest of the records' own numbers.
    for bucket in statistics["buckets"]:
        scores = [r["coherence_score"] for r in records if hour_of(r["timestamp"]) == bucket["start"]]
        mean, low, high = bucket["coherence"]
        assert (low, high) == (min(scores), max(scores))
        assert mean == pytest.approx(sum(scores) / len(scores))

    assert statistics["first_time"] == records[0]["timestamp"]
    assert statistics["last_time"] == records[-1]["timestamp"]

    reviews = collections.Counter()
    resolved = collections.Counter()
    for r in records:
        link = json.loads(r["human_delta_chain_json"])
        reviews[link["terminal_node"]] += 1
        resolved[link["terminal_node"]] += link["resolved"]
    assert {r["terminal_node"]: (r["records"], r["resolved"]) for r in statistics["reviews"]} == {
        node: (reviews[node], resolved[node]) for node in reviews}
    assert statistics["reviews_resolved"] == sum(resolved.values())

    # One chain per engine, each spanning its own records' times; no events on a clean log.
    assert len(statistics["chains"]) == len(report["chains"]) == 3
    for chain, times in zip(report["chains"], statistics["chains"]):
        assert times["first_time"] == records[chain["first_line"] - 1]["timestamp"][:19] + "+00:00"
        assert times["last_time"] == records[chain["last_line"] - 1]["timestamp"][:19] + "+00:00"
        assert times["events"] == []
        assert sum(s["coherence"] is not None for s in times["scores"]) >= 1
    assert statistics["problem_lines"] == [] and statistics["sealing"] is None


def test_statistics_of_a_damaged_log_place_its_problems(logs):
    report = oxa_verify.verify_log(logs.damaged, public_key=logs.key)
    statistics = report["statistics"]
    problem_lines = sorted({p["line"] for p in report["problems"] if p["line"]})
    assert SCRIPT_LINE in problem_lines and 9 in problem_lines

    # Each problem in the hour of its line (the unreadable line 9 in that of line 8).
    hours = [hour_of(r["timestamp"]) for r in logs.records]
    hours[8] = hours[7]
    expected = collections.Counter(hours[p["line"] - 1] for p in report["problems"] if p["line"])
    assert {b["start"]: b["problems"] for b in statistics["buckets"] if b["problems"]} == expected
    assert sum(b["unreadable"] for b in statistics["buckets"]) == 1
    assert sum(b["records"] for b in statistics["buckets"]) == report["records"]
    # The unreadable line 9 is counted in the hour of the record before it.
    line_8_hour = hour_of(logs.records[7]["timestamp"])
    assert [b["unreadable"] for b in statistics["buckets"] if b["start"] == line_8_hour] == [1]

    # The lines' texts as read back, with bytes that are not UTF-8 replaced.
    texts = {entry["line"]: entry["text"] for entry in statistics["problem_lines"]}
    assert sorted(texts) == problem_lines
    for line in problem_lines:
        assert texts[line] == logs.damaged_lines[line - 1].rstrip(b"\n").decode("utf-8", errors="replace")
    assert SCRIPT_PROMPT in texts[SCRIPT_LINE]

    # The line after the deleted record starts a chain at a break.
    events = [e for chain in statistics["chains"] for e in chain["events"]]
    assert {e["kind"] for e in events} >= {"chain-break", "replay-stopped"}


def test_problem_lines_of_standard_input_are_not_read_again(logs):
    code, out, _ = run("--json", "--public-key", logs.key, "-", stdin=logs.damaged.read_bytes())
    report = json.loads(out)
    assert code == 1 and report["problems"]
    assert report["statistics"]["problem_lines"] == []
    assert sum(b["records"] for b in report["statistics"]["buckets"]) == report["records"]


@pytest.mark.parametrize("span, step, bucket_seconds", [
    (datetime.timedelta(hours=30), datetime.timedelta(hours=1), 3600),
    (datetime.timedelta(days=60), datetime.timedelta(days=1), 86400),
    (datetime.timedelta(days=5 * 365), datetime.timedelta(days=7), 7 * 86400),
], ids=["hours", "days", "years"])
def test_bucket_width_follows_the_span(logs, tmp_path, span, step, bucket_seconds):
    count = len(logs.lines)
    times = [START + span * i / (count - 1) for i in range(count)]
    path = tmp_path / "spread.wal"
    path.write_bytes(b"".join(retimed(logs.lines, [stamp(t) for t in times])))
    statistics = oxa_verify.verify_log(path, public_key=logs.key)["statistics"]
    assert statistics["bucket_seconds"] == bucket_seconds
    assert sum(b["records"] for b in statistics["buckets"]) == count
    epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
    for bucket in statistics["buckets"]:
        start = datetime.datetime.fromisoformat(bucket["start"])
        assert (start - epoch).total_seconds() % bucket_seconds == 0
        inside = [t for t in times if start <= t.replace(microsecond=0) < start + datetime.timedelta(seconds=bucket_seconds)]
        assert len(inside) == bucket["records"]


def test_times_before_1970_fall_in_the_hour_that_holds_them(logs, tmp_path):
    path = tmp_path / "old.wal"
    times = ["1969-12-31T23:59:59+00:00"] + ["1970-01-01T00:00:00+00:00"] * (len(logs.lines) - 1)
    path.write_bytes(b"".join(retimed(logs.lines, times)))
    statistics = oxa_verify.verify_log(path, public_key=logs.key)["statistics"]
    assert [(b["start"], b["records"]) for b in statistics["buckets"]] == [
        ("1969-12-31T23:00:00+00:00", 1), ("1970-01-01T00:00:00+00:00", len(logs.lines) - 1)]
    assert statistics["first_time"] == "1969-12-31T23:59:59+00:00"


def test_command_json_carries_the_statistics(logs):
    code, out, _ = run("--json", "--public-key", logs.key, str(logs.clean))
    assert code == 0
    assert json.loads(out)["statistics"] == oxa_verify.verify_log(logs.clean, public_key=logs.key)["statistics"]


def test_sealed_part_and_notary_identity(logs, tmp_path):
    origin = "example.com/report-audit"
    notary = Path(sys.executable).with_name("oxa-notary")
    key = tmp_path / "notary.key"
    made = subprocess.run([str(notary), "keygen", "--key", str(key), origin], capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    vkey = made.stdout.strip()
    log = tmp_path / "audit.wal"
    log.write_bytes(b"".join(logs.lines[:6]))
    sealed = subprocess.run([str(notary), "seal", "--key", str(key), "--origin", origin, str(log)],
                            capture_output=True, text=True)
    assert sealed.returncode == 0, sealed.stderr
    with open(log, "ab") as out:
        out.write(b"".join(logs.lines[6:]))

    page = tmp_path / "report.html"
    args = ["--json", "--html", str(page), "--checkpoints", f"{log}.checkpoints", "--notary-key", vkey,
            "--public-key", logs.key, str(log)]
    code, out, _ = run(*args)
    assert code == 0
    assert json.loads(out)["statistics"]["sealing"] == {
        "checkpoints": 1, "sealed_lines": 6, "start_size": 0, "origin": origin}
    text = page.read_text(encoding="utf-8")
    assert origin in text and vkey in text
    assert f"Sealed lines: 6 of {len(logs.lines)}; unsealed tail: {len(logs.lines) - 6} lines." in text


WITNESS_NAME = "w1.witness.example"


def witnessed_log(logs, directory):
    """The clean log sealed after 6 and 12 lines, the first checkpoint cosigned by the witness W1 (made here
    with cryptography), the last 6 lines unsealed; returns the log, its checkpoint file and the policy."""
    origin = "example.com/witnessed-report"
    notary = Path(sys.executable).with_name("oxa-notary")
    key = directory / "notary.key"
    made = subprocess.run([str(notary), "keygen", "--key", str(key), origin], capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    log = directory / "audit.wal"
    for size in (6, 12):
        log.write_bytes(b"".join(logs.lines[:size]))
        sealed = subprocess.run([str(notary), "seal", "--key", str(key), "--origin", origin, str(log)],
                                capture_output=True, text=True)
        assert sealed.returncode == 0, sealed.stderr
    log.write_bytes(b"".join(logs.lines))
    def vkey(name, public):
        key_id = hashlib.sha256(name.encode() + b"\n\x04" + public).digest()[:4]
        return key_id, f"{name}+{key_id.hex()}+{base64.b64encode(bytes([4]) + public).decode()}"

    witness = Ed25519PrivateKey.generate()
    public = witness.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    key_id, witness_vkey = vkey(WITNESS_NAME, public)
    other = Ed25519PrivateKey.generate().public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)
    checkpoints = Path(f"{log}.checkpoints")
    entries = [json.loads(line) for line in checkpoints.read_text().splitlines()]
    text = entries[0]["note"][: entries[0]["note"].rindex("\n\n") + 1]
    timestamp = 1_780_000_000
    signature = witness.sign(f"cosignature/v1\ntime {timestamp}\n{text}".encode())
    blob = key_id + timestamp.to_bytes(8, "big") + signature
    entries[0]["note"] += f"\u2014 {WITNESS_NAME} {base64.b64encode(blob).decode()}\n"
    checkpoints.write_text("".join(json.dumps(entry) + "\n" for entry in entries))
    policy = directory / "auditor.policy"
    policy.write_text(f"log {made.stdout.strip()}\nwitness W1 {witness_vkey}\n"
                      f"witness W2 {vkey('w2.witness.example', other)[1]}\ngroup any-of-two any W1 W2\n"
                      "quorum any-of-two\n")
    return log, checkpoints, policy


def test_witnessed_part_and_witness_identity(logs, tmp_path):
    log, checkpoints, policy = witnessed_log(logs, tmp_path)
    page = tmp_path / "report.html"
    code, out, _ = run("--json", "--html", str(page), "--checkpoints", str(checkpoints), "--policy", str(policy),
                       "--public-key", logs.key, str(log))
    assert code == 0, out
    text = page.read_text(encoding="utf-8")
    assert f"Witnessed lines: 6 of {len(logs.lines)}." in text
    assert "W1, on the checkpoint of size 6" in text and "any-of-two (any of W1, W2)" in text
    assert "against the policy&#39;s witnesses (W1, W2)" in text
    assert f"the log line of the policy {policy}" in text


# --- the page -----------------------------------------------------------------------------------


class PageScan(html.parser.HTMLParser):
    """Every tag, every attribute that could make a request, the texts of <style> and <pre> elements."""

    def __init__(self):
        super().__init__()
        self.tags = collections.Counter()
        self.references = []
        self.styles = []
        self.pre_texts = []
        self._in = None

    def handle_starttag(self, tag, attrs):
        self.tags[tag] += 1
        for name, value in attrs:
            if name in ("src", "href", "xlink:href", "srcset", "data", "action", "poster", "background"):
                self.references.append(value or "")
        if tag in ("style", "pre"):
            self._in = tag
            (self.styles if tag == "style" else self.pre_texts).append("")

    def handle_endtag(self, tag):
        self._in = None

    def handle_data(self, data):
        if self._in == "style":
            self.styles[-1] += data
        elif self._in == "pre":
            self.pre_texts[-1] += data


def scan(text):
    page = PageScan()
    page.feed(text)
    return page


CHART_IDS = list(html_report.CHART_COLOURS)


@pytest.mark.parametrize("which", ["clean", "damaged"])
def test_page_is_self_contained_and_escapes_the_log(logs, tmp_path, which):
    path = getattr(logs, which)
    out = tmp_path / "report.html"
    argv = ["--public-key", logs.key, str(path)]
    oxa_verify.write_html_report(oxa_verify.verify_log(path, public_key=logs.key), out, argv)
    text = out.read_text(encoding="utf-8")
    page = scan(text)

    for banned in ("script", "link", "img", "iframe", "object", "embed", "base"):
        assert page.tags[banned] == 0, banned
    assert all(reference.startswith("#") for reference in page.references), page.references
    assert not any("url(" in style.replace("url(#", "") or "@import" in style for style in page.styles)
    assert "<script" not in text.lower() and "<img" not in text.lower()

    # The hostile terminal node shows as text in the review table.
    assert HOSTILE_NODE.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&#34;") in text
    for chart_id in CHART_IDS:
        assert f'id="{chart_id}"' in text
    assert f"<pre id=\"command\">{shlex.join(['oxa-verify'] + argv)}</pre>" in text.replace("&#39;", "'")
    if which == "damaged":
        assert "FAILED" in text and 'id="problems-table"' in text
        assert any(SCRIPT_PROMPT in pre for pre in page.pre_texts)
        assert "\ufffd" in text  # the line of bytes that are not UTF-8, shown with replacements
    else:
        assert "No problem found" in text


def test_page_from_python_without_the_command(logs, tmp_path):
    out = tmp_path / "report.html"
    oxa_verify.write_html_report(oxa_verify.verify_log(logs.clean, public_key=logs.key), out)
    text = out.read_text(encoding="utf-8")
    assert "Not recorded" in text and logs.key in text


# --- the command's --html -----------------------------------------------------------------------


@pytest.mark.parametrize("which, status", [("clean", 0), ("damaged", 1)])
def test_html_option_keeps_the_output_and_exit_status(logs, tmp_path, which, status):
    path = str(getattr(logs, which))
    out = tmp_path / "report.html"
    plain = run("--public-key", logs.key, path)
    with_html = run("--html", str(out), "--public-key", logs.key, path)
    assert plain[0] == with_html[0] == status
    assert plain[1] == with_html[1]
    assert out.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    as_json = run(f"--html={out}", "--json", "--public-key", logs.key, path)
    assert as_json[0] == status and json.loads(as_json[1])["ok"] == (status == 0)


@pytest.mark.parametrize("args", [
    ["--html"],
    ["--html="],
    ["--html", "a.html", "--html", "b.html"],
    ["--html", "a.html", "--frobnicate"],
    ["--html", "a.html", "--public-key", "abc"],
    ["--html", "no-such-directory/a.html", "--public-key", "KEY"],
], ids=["no-value", "empty-value", "twice", "usage-error", "bad-key", "unwritable"])
def test_html_option_errors_exit_2(logs, tmp_path, args):
    args = [arg.replace("KEY", logs.key) for arg in args]
    code, _, err = run(*args, str(logs.clean))
    assert code == 2 and err.startswith("oxa-verify: ")
    assert not (Path.cwd() / "a.html").exists()


@pytest.mark.parametrize("target", ["log", "key", "checkpoints"])
def test_html_never_overwrites_an_input(logs, tmp_path, target):
    log = tmp_path / "audit.wal"
    log.write_bytes(logs.clean.read_bytes())
    key = tmp_path / "audit.wal.key"
    key.write_bytes((logs.clean.parent / "clean.wal.key").read_bytes())
    checkpoints = tmp_path / "audit.wal.checkpoints"
    checkpoints.write_text("")
    files = {"log": log, "key": key, "checkpoints": checkpoints}
    before = {name: path.read_bytes() for name, path in files.items()}
    extra = ["--checkpoints", str(checkpoints), "--notary-key", "x"] if target == "checkpoints" else []
    code, out, err = run("--html", str(files[target]), *extra, str(log))
    assert code == 2 and "would be overwritten" in err and out == ""
    assert {name: path.read_bytes() for name, path in files.items()} == before


def test_missing_report_package_is_named(logs, tmp_path, monkeypatch, capfd):
    import importlib.util

    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "matplotlib" else real(name, *a))
    out = tmp_path / "report.html"
    assert cli.main(["--html", str(out), "--public-key", logs.key, str(logs.clean)]) == 2
    captured = capfd.readouterr()
    assert "matplotlib" in captured.err and "tvel_oxa[report]" in captured.err
    assert captured.out == "" and not out.exists()


# --- in a real browser --------------------------------------------------------------------------

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed (make installs it)")


def chromium(page, workdir, *action):
    """Runs headless chromium on `page` with the network cut (a proxy on a closed port) and a net log;
    returns its stdout, its stderr log and the URLs that the page asked for. The browser's own
    requests (updates, time) are left out: their initiator is "not an origin", while anything a
    file:// page asks for has the initiator "null"."""
    net_log = workdir / "net.json"
    args = [
        CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--disable-default-apps", "--proxy-server=127.0.0.1:9", "--enable-logging=stderr", "--v=0",
        f"--user-data-dir={workdir / 'profile'}", f"--log-net-log={net_log}", *action, page.as_uri(),
    ]
    # Under the sanitized test run the interpreter has the sanitizer runtime preloaded; the browser must not.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    result = subprocess.run(args, capture_output=True, timeout=180, env=env)
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-2000:]
    urls = []
    if net_log.exists():
        text = net_log.read_text(errors="replace").rstrip()
        try:
            log = json.loads(text)
        except ValueError:
            log = json.loads(text.rstrip(",") + "]}")  # a net log cut short at exit
        for event in log.get("events", []):
            params = event.get("params", {})
            if params.get("url") and params.get("initiator") not in (None, "not an origin"):
                urls.append(params["url"])
    return result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace"), urls


@pytest.fixture(scope="module")
def rendered(logs, tmp_path_factory):
    """Each log's report, written by the command, with chromium's DOM dump and screenshot of it."""
    pages = {}
    for which in ("clean", "damaged", "witnessed"):
        workdir = tmp_path_factory.mktemp(f"browser-{which}")
        page = workdir / "report.html"
        if which == "witnessed":
            log, checkpoints, policy = witnessed_log(logs, workdir)
            args = ["--checkpoints", str(checkpoints), "--policy", str(policy), str(log)]
        else:
            args = [str(getattr(logs, which))]
        code, _, _ = run("--html", str(page), "--public-key", logs.key, *args)
        assert code == (1 if which == "damaged" else 0)
        dom, log, urls = chromium(page, workdir / "dom", "--dump-dom")
        shot = workdir / "shot.png"
        _, shot_log, shot_urls = chromium(page, workdir / "shot", f"--screenshot={shot}", "--window-size=1280,9000",
                                          "--hide-scrollbars")
        pages[which] = (dom, log + shot_log, urls + shot_urls, shot)
    return pages


@needs_chromium
@pytest.mark.parametrize("which", ["clean", "damaged", "witnessed"])
def test_browser_loads_the_page_without_error_or_request(rendered, which):
    dom, log, urls, _ = rendered[which]
    console = [line for line in log.splitlines() if "CONSOLE" in line or "Uncaught" in line]
    assert console == []
    assert urls == []

    page = scan(dom)
    assert page.tags["script"] == 0
    assert 'class="verdict ' in dom and 'id="problems-table"' in dom
    for chart_id in CHART_IDS:
        start = dom.index(f'id="{chart_id}"')
        assert "<svg" in dom[start:dom.index("</figure>", start)], chart_id
    if which == "damaged":
        assert "FAILED" in dom
        assert any(SCRIPT_PROMPT in pre for pre in page.pre_texts)
    if which == "witnessed":
        assert "W1, on the checkpoint of size 6" in dom


@needs_chromium
@pytest.mark.parametrize("which", ["clean", "damaged", "witnessed"])
def test_browser_screenshot_shows_every_chart(rendered, which):
    from PIL import Image

    *_, shot = rendered[which]
    image = Image.open(shot).convert("RGB")
    counts = {pixel: n for n, pixel in image.getcolors(maxcolors=image.width * image.height)}
    expected = [(chart_id, [colour]) for chart_id, colour in html_report.CHART_COLOURS.items()]
    if which == "witnessed":
        # The witnessed part in the chart's own colour, then the sealed but unwitnessed part, then the unsealed tail.
        expected += [("sealed-unwitnessed", [html_report.SEALED_UNWITNESSED_COLOUR]),
                     ("unsealed", [html_report.UNSEALED_COLOUR])]
    for chart_id, wanted in expected:
        if chart_id == "chart-sealing" and which != "witnessed":
            wanted.append(html_report.UNCHECKED_COLOUR)
        rgb = [tuple(int(c[i:i + 2], 16) for i in (1, 3, 5)) for c in wanted]
        near = sum(n for pixel, n in counts.items()
                   if any(all(abs(p - q) <= 8 for p, q in zip(pixel, target)) for target in rgb))
        assert near >= 150, (chart_id, near)
