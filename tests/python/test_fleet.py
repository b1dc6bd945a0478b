"""oxa-verify --fleet: a manifest of 20 logs (clean, damaged in several ways, rotated and compressed
pieces, with and without checkpoints) verified on this machine's cores, on a real local Dask cluster
and from a real S3 server on 127.0.0.1; each log's report is the one it gets alone; a worker killed
mid-run changes no verdict; bad manifest lines, missing objects and unreachable hosts are reported."""
import gzip
import html.parser
import json
import os
import shutil
import signal
import socket
import threading
import time
from pathlib import Path

import pytest

import oxa_verify
import tvel_oxa
from oxa_verify import fleet
from oxa_verify.cli import main
from test_verify_faults import ORIGIN, notary
from test_verify_log import edit, flip_signature

pytestmark = pytest.mark.integration


def capture(engines, count, start=0):
    triplet = tvel_oxa.PPPTriplet("model-a", "eu-west", "triage")
    for i in range(start, start + count):
        engines[i % len(engines)].capture({"i": i}, f"prompt {i}", [], "out" * (i % 3), triplet,
                                          tvel_oxa.HumanDeltaChain(f"t-{i}", False, "queue"))


def write_log(path, count=12, writers=2):
    """A clean log of `count` records by `writers` engines; returns the engines' public key."""
    path.parent.mkdir(parents=True, exist_ok=True)
    engines = [tvel_oxa.OXAEngine(str(path)) for _ in range(writers)]
    capture(engines, count)
    return engines[0].public_key_hex()


def damaged(change):
    """A host whose log has its lines changed by `change` after it was written."""
    def make(path, vkey):
        write_log(path)
        lines = path.read_bytes().splitlines(keepends=True)
        path.write_bytes(b"".join(change(lines)))
        return {}
    return make


def clean(path, vkey):
    write_log(path)
    return {}


def clean_with_key(path, vkey):
    return {"public_key": write_log(path)}


def wrong_key(path, vkey):
    write_log(path)
    return {"public_key": write_log(path.with_name("other.wal"))}


def rotated(path, vkey, damage=None):
    """Three pieces beside the current log, as logrotate leaves them: .2.gz, .1, current."""
    key = write_log(path)
    lines = path.read_bytes().splitlines(keepends=True)
    if damage is not None:
        lines = damage(lines)
    path.with_name(path.name + ".2.gz").write_bytes(gzip.compress(b"".join(lines[:4])))
    path.with_name(path.name + ".1").write_bytes(b"".join(lines[4:8]))
    path.write_bytes(b"".join(lines[8:]))
    return {"rotated": True, "public_key": key}


def compressed(path, vkey):
    write_log(path)
    path.with_name(path.name + ".gz").write_bytes(gzip.compress(path.read_bytes()))
    path.unlink()
    shutil.copy(f"{path}.key", f"{path}.gz.key")
    return {"log": f"{path.name}.gz"}


def sealed(path, vkey, tamper=False, unsealed=0):
    engines = [tvel_oxa.OXAEngine(str(path)), tvel_oxa.OXAEngine(str(path))]
    capture(engines, 8)
    notary("seal", "--key", vkey[0], "--origin", ORIGIN, path)
    capture(engines, unsealed, 8)
    if tamper:
        lines = path.read_bytes().splitlines(keepends=True)
        lines[3] = lines[3].replace(b"prompt", b"prompx") if b"prompt" in lines[3] else lines[3]
        lines[2], lines[5] = lines[5], lines[2]
        path.write_bytes(b"".join(lines))
    return {"checkpoints": f"{path.name}.checkpoints", "notary_key": vkey[1], "require_sealed": unsealed > 0}


def continued(path, vkey):
    key = write_log(path)
    lines = path.read_bytes().splitlines(keepends=True)
    path.write_bytes(b"".join(lines[5:]))
    return {"continues": True, "public_key": key}


def flip(n):
    def change(lines):
        lines[n] = edit(lines[n], flip_signature)
        return lines
    return change


# (host, how its log is made); each returns the manifest options beyond "log".
HOSTS = [
    ("clean-1", clean), ("clean-2", clean), ("clean-3", clean_with_key), ("clean-4", clean_with_key),
    ("bad-signature", damaged(flip(6))),
    ("deleted-line", damaged(lambda lines: lines[:4] + lines[5:])),
    ("swapped-lines", damaged(lambda lines: lines[:3] + [lines[5], lines[4], lines[3]] + lines[6:])),
    ("duplicated-line", damaged(lambda lines: lines[:7] + [lines[6]] + lines[7:])),
    ("malformed-line", damaged(lambda lines: lines[:2] + [b'{"id":"oxa_broken"\n'] + lines[3:])),
    ("torn-end", damaged(lambda lines: lines[:-1] + [lines[-1][:40]])),
    ("wrong-key", wrong_key),
    ("rotated", rotated),
    ("rotated-damaged", lambda path, vkey: rotated(path, vkey, flip(5))),
    ("compressed", compressed),
    ("sealed", sealed),
    ("sealed-unsealed-end", lambda path, vkey: sealed(path, vkey, unsealed=3)),
    ("sealed-tampered", lambda path, vkey: sealed(path, vkey, tamper=True)),
    ("continues", continued),
    ("clean-5", clean),
    ("bad-signature-late", damaged(flip(11))),
]


class Fleet:
    """The hosts' logs in one folder, host-NAME/audit.wal each, and the manifest beside them."""

    def __init__(self, folder):
        self.folder = folder
        notary_key = folder / "notary.key"
        vkey = (notary_key, notary("keygen", "--key", notary_key, ORIGIN).strip())
        self.entries = []
        for host, make in HOSTS:
            path = folder / f"host-{host}" / "audit.wal"
            path.parent.mkdir(parents=True)
            options = make(path, vkey)
            name = options.pop("log", path.name)
            if "checkpoints" in options:
                options["checkpoints"] = f"host-{host}/{options['checkpoints']}"
            self.entries.append({"log": f"host-{host}/{name}", **options})
        self.manifest = folder / "fleet.jsonl"
        self.manifest.write_text("".join(json.dumps(entry) + "\n" for entry in self.entries))

    def alone(self, prefix=None):
        """Each log's report from verify_log on it alone; local names changed to `prefix` when given."""
        reports = []
        for entry in fleet.read_manifest(self.manifest):
            options = {name: value for name, value in entry.items() if name != "log"}
            report = oxa_verify.verify_log(entry["log"], **options)
            if prefix is not None:
                report = json.loads(json.dumps(report).replace(f"{self.folder}/", prefix))
            reports.append(report)
        return reports


@pytest.fixture(scope="module")
def hosts(tmp_path_factory):
    return Fleet(tmp_path_factory.mktemp("fleet"))


def test_the_fleet_has_every_kind_of_log(hosts):
    reports = hosts.alone()
    assert len(reports) >= 20
    kinds = {problem["kind"] for report in reports for problem in report["problems"]}
    assert {"bad-signature", "chain-break"} <= kinds and len(kinds) >= 4, kinds
    assert sum(report["ok"] for report in reports) >= 8
    assert any(len(report["pieces"]) == 3 for report in reports)
    assert any(report["checkpoints"] for report in reports)


def test_on_this_machines_cores_each_report_is_the_one_it_gets_alone(hosts, capsys):
    code = main(["--fleet", str(hosts.manifest), "--json"])
    out = json.loads(capsys.readouterr().out)
    alone = hosts.alone()
    assert [result["report"] for result in out["logs"]] == alone
    assert [result["log"] for result in out["logs"]] == [e["log"] for e in fleet.read_manifest(hosts.manifest)]
    failed = sum(not report["ok"] for report in alone)
    assert code == 1 and out["retried"] == []
    assert out["summary"] == {
        "logs": len(alone), "records": sum(r["records"] for r in alone), "failed": failed,
        "problems_by_kind": _kinds(alone)}


def test_the_text_report_names_each_log_and_the_fleets_totals(hosts, capsys):
    assert main(["--fleet", str(hosts.manifest)]) == 1
    out = capsys.readouterr().out
    assert f"{hosts.folder}/host-clean-1/audit.wal: OK: 12 records" in out
    assert f"{hosts.folder}/host-bad-signature/audit.wal: FAILED" in out and "bad-signature: " in out
    assert f"fleet: {len(HOSTS)} logs, " in out


def _kinds(reports):
    kinds = {}
    for report in reports:
        for problem in report["problems"]:
            kinds[problem["kind"]] = kinds.get(problem["kind"], 0) + 1
    return dict(sorted(kinds.items()))


# ---------------------------------------------------------------- manifest and usage errors

@pytest.mark.parametrize("line, message", [
    ("{not json", "line 2: not JSON: Expecting property name enclosed in double quotes at column 2"),
    ('["audit.wal"]', "line 2: a log's entry must be a JSON object, not list"),
    ('{"path": "audit.wal"}', 'line 2: "log" must be given'),
    ('{"log": "a.wal", "policy_name": "x"}', 'line 2: unknown option "policy_name"'),
    ('{"log": "a.wal", "rotated": "yes"}', 'line 2: "rotated" must be true or false, not a string'),
    ('{"log": "a.wal", "anchors": [1]}', 'line 2: "anchors" must be a list of strings'),
    ('{"log": "a.wal", "jobs": 0}', 'line 2: "jobs" must be from 1 to 1024'),
], ids=["not-json", "not-an-object", "no-log", "unknown-option", "wrong-type", "anchor-not-text", "no-jobs"])
def test_a_bad_manifest_line_is_named_before_any_log_is_read(tmp_path, capsys, line, message):
    manifest = tmp_path / "fleet.jsonl"
    # The first line names a log that does not exist: reading it would be reported, not the bad line.
    manifest.write_text('{"log": "missing.wal"}\n' + line + "\n")
    assert main(["--fleet", str(manifest), "--json"]) == 2
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.startswith(f"oxa-verify: {manifest} {message}"), captured.err


@pytest.mark.parametrize("args, message", [
    (["--fleet", "{m}", "x.wal"], "give no LOG"),
    (["--fleet", "{m}", "--rotated"], "give no --rotated"),
    (["--fleet", "{m}", "--max-line-bytes", "100"], "give no --max-line-bytes"),
    (["--dask", "local:2"], "--dask runs a fleet: give --fleet MANIFEST"),
    (["--fleet", "{m}", "--dask", "local:0"], "--dask local:N needs N"),
], ids=["log-and-fleet", "per-log-option", "line-limit", "dask-without-fleet", "no-workers"])
def test_usage_errors(tmp_path, capsys, args, message):
    manifest = tmp_path / "fleet.jsonl"
    manifest.write_text('{"log": "a.wal"}\n')
    assert main([arg.format(m=manifest) for arg in args]) == 2
    assert message in capsys.readouterr().err


def test_a_missing_package_is_named(tmp_path, capsys, monkeypatch):
    manifest = tmp_path / "fleet.jsonl"
    manifest.write_text('{"log": "a.wal"}\n')
    monkeypatch.setitem(__import__("sys").modules, "distributed", None)
    assert main(["--fleet", str(manifest), "--dask", "local:2"]) == 2
    err = capsys.readouterr().err
    assert "needs the Python package distributed" in err and "tvel_oxa[fleet]" in err


def test_a_log_that_cannot_be_read_fails_alone(hosts, tmp_path):
    entries = [{"log": str(hosts.folder / "host-clean-1" / "audit.wal")}, {"log": str(tmp_path / "gone.wal")}]
    report = oxa_verify.verify_fleet(entries)
    first, second = report["logs"]
    assert first["report"]["ok"] and "gone.wal" in second["error"] and "report" not in second
    assert report["summary"]["failed"] == 1 and report["summary"]["logs"] == 2


# ---------------------------------------------------------------- a Dask cluster and an S3 server

try:
    import distributed
    import moto.server as moto_server
    import s3fs
except ImportError:  # the test extra installs them from Python 3.10 on
    distributed = moto_server = s3fs = None
needs_cluster = pytest.mark.skipif(s3fs is None, reason="dask.distributed, moto and s3fs install from Python 3.10 on")

BUCKET = "fleet"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="module")
def s3(hosts):
    """A real S3 server on 127.0.0.1 holding the fleet under s3://fleet/; workers find it by the environment."""
    port = free_port()
    server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=port)
    server.start()
    environment = {"AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}", "AWS_ENDPOINT_URL_S3": f"http://127.0.0.1:{port}",
                   "AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
                   "AWS_DEFAULT_REGION": "us-east-1"}
    saved = {name: os.environ.get(name) for name in environment}
    os.environ.update(environment)
    try:
        fs = s3fs.S3FileSystem(client_kwargs={"endpoint_url": environment["AWS_ENDPOINT_URL"]})
        fs.mkdir(BUCKET)
        for path in hosts.folder.rglob("*"):
            if path.is_file() and path.name != "notary.key":
                fs.put_file(str(path), f"{BUCKET}/{path.relative_to(hosts.folder)}")
        yield fs
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        server.stop()


@pytest.fixture(scope="module")
def cluster(s3):
    """A local Dask cluster of 2 worker processes, started after the S3 server's address is in the environment."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  host="127.0.0.1") as local, distributed.Client(local) as client:
        yield client


def s3_entries(hosts):
    entries = []
    for entry in hosts.entries:
        entry = dict(entry, log=f"s3://{BUCKET}/{entry['log']}")
        if "checkpoints" in entry:
            entry["checkpoints"] = f"s3://{BUCKET}/{entry['checkpoints']}"
        entries.append(entry)
    return entries


@needs_cluster
def test_on_a_dask_cluster_from_s3_each_report_is_the_one_it_gets_alone(hosts, cluster):
    report = fleet.verify_fleet(s3_entries(hosts), client=cluster)
    assert [result.get("report") for result in report["logs"]] == hosts.alone(f"s3://{BUCKET}/")
    assert report["retried"] == []
    assert report["summary"]["failed"] == sum(not r["ok"] for r in hosts.alone())


@needs_cluster
def test_a_missing_object_an_unreachable_host_and_no_log_fail_alone(hosts, cluster, s3):
    s3.pipe_file(f"{BUCKET}/junk/audit.wal", b"hello, this is no audit log\n")
    port = free_port()
    entries = [{"log": f"s3://{BUCKET}/host-clean-1/audit.wal"},
               {"log": f"s3://{BUCKET}/host-nowhere/audit.wal", "public_key": "0" * 64},
               {"log": f"http://127.0.0.1:{port}/audit.wal", "public_key": "0" * 64},
               {"log": f"s3://{BUCKET}/junk/audit.wal", "public_key": "0" * 64},
               {"log": f"s3://{BUCKET}/host-nowhere/audit.wal", "rotated": True, "public_key": "0" * 64}]
    report = fleet.verify_fleet(entries, client=cluster)
    first, missing, unreachable, junk, no_pieces = report["logs"]
    assert first["report"]["ok"]
    assert missing == {"log": entries[1]["log"], "error": f"{entries[1]['log']}: no such object"}
    assert unreachable["error"].startswith(f"{entries[2]['log']}: cannot be read: ")
    assert f"127.0.0.1:{port}" in unreachable["error"]
    # The verifier's own refusal, naming the object rather than the worker's temporary copy.
    assert junk["error"].startswith(f"{entries[3]['log']}: ") and "oxa-fleet-" not in junk["error"]
    assert no_pieces["error"] == f"s3://{BUCKET}/host-nowhere/: no such folder"
    assert report["summary"]["failed"] == 4 and report["summary"]["records"] == 12


def kill_a_worker_running(cluster, pids, chosen):
    """SIGKILLs the first worker seen running a task whose key is `chosen` (60 s at most); returns it or None."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        for worker, keys in cluster.processing().items():
            if any(chosen(str(key)) for key in keys) and worker in pids:
                os.kill(pids[worker], signal.SIGKILL)
                return worker
        time.sleep(0.01)
    return None


@needs_cluster
def test_a_worker_killed_during_the_run_changes_no_verdict(hosts, cluster, tmp_path, s3):
    # A long log first, so that a task is surely running when its worker is killed.
    write_log(tmp_path / "long.wal", count=15000, writers=1)
    s3.put_file(str(tmp_path / "long.wal"), f"{BUCKET}/long/audit.wal")
    s3.put_file(str(tmp_path / "long.wal.key"), f"{BUCKET}/long/audit.wal.key")
    entries = [{"log": f"s3://{BUCKET}/long/audit.wal"}] + s3_entries(hosts)
    pids = cluster.run(os.getpid)
    outcome = {}
    runner = threading.Thread(target=lambda: outcome.setdefault("report", fleet.verify_fleet(entries, client=cluster)))
    runner.start()
    killed = kill_a_worker_running(cluster, pids, lambda key: key.endswith("-0"))
    runner.join(180)
    assert killed is not None and not runner.is_alive()
    report = outcome["report"]
    assert report["logs"][0]["report"]["ok"] and report["logs"][0]["report"]["records"] == 15000
    assert [result.get("report") for result in report["logs"][1:]] == hosts.alone(f"s3://{BUCKET}/")
    assert entries[0]["log"] in report["retried"]


def test_a_process_of_the_pool_killed_during_the_run_changes_no_verdict(hosts, tmp_path):
    import multiprocessing
    write_log(tmp_path / "long.wal", count=15000, writers=1)
    entries = [{"log": str(tmp_path / "long.wal")}] + fleet.read_manifest(hosts.manifest)
    before = {child.pid for child in multiprocessing.active_children()}  # a Dask cluster's, say
    outcome = {}
    runner = threading.Thread(target=lambda: outcome.setdefault("report", fleet.verify_fleet(entries)))
    runner.start()
    deadline = time.monotonic() + 60
    children = []
    while not children and time.monotonic() < deadline:
        time.sleep(0.05)
        children = [child for child in multiprocessing.active_children() if child.pid not in before]
    time.sleep(0.2)  # the long log's task is under way
    os.kill(children[0].pid, signal.SIGKILL)
    runner.join(180)
    assert not runner.is_alive()
    report = outcome["report"]
    assert report["logs"][0]["report"]["ok"] and report["logs"][0]["report"]["records"] == 15000
    assert [result.get("report") for result in report["logs"][1:]] == hosts.alone()
    assert report["retried"] and set(report["retried"]) <= {entry["log"] for entry in entries}


# ---------------------------------------------------------------- the fleet's HTML page

HOSTILE = "<script>alert(1)</script>"


@pytest.fixture(scope="module")
def fleet_page(hosts, tmp_path_factory):
    """The page of the fleet plus a log in a folder whose name is markup, written by the command."""
    folder = tmp_path_factory.mktemp("page")
    hostile = folder / HOSTILE.replace("/", "_") / "audit.wal"
    hostile.parent.mkdir()
    shutil.copy(hosts.folder / "host-bad-signature" / "audit.wal", hostile)
    shutil.copy(hosts.folder / "host-bad-signature" / "audit.wal.key", f"{hostile}.key")
    manifest = folder / "fleet.jsonl"
    entries = fleet.read_manifest(hosts.manifest) + [{"log": str(hostile)}, {"log": str(folder / "gone.wal")}]
    manifest.write_text("".join(json.dumps(entry) + "\n" for entry in entries))
    page = folder / "fleet.html"
    code = main(["--fleet", str(manifest), "--html", str(page), "--json"])
    return code, entries, page


def test_the_page_names_each_logs_verdict_and_is_self_contained(fleet_page, hosts, capsys):
    from test_html_report import scan

    code, entries, page = fleet_page
    assert code == 1
    text = page.read_text(encoding="utf-8")
    scanned = scan(text)
    for banned in ("script", "link", "img", "iframe", "object", "embed", "base"):
        assert scanned.tags[banned] == 0, banned
    assert all(reference.startswith("#") for reference in scanned.references), scanned.references
    assert "<script>" not in text and "&lt;script&gt;alert(1)&lt;_script&gt;" in text

    rows = LogRows()
    rows.feed(text)
    alone = hosts.alone() + [oxa_verify.verify_log(entries[-2]["log"])]
    expected = [(e["log"], "OK" if r["ok"] else "FAILED", str(r["records"]), str(len(r["problems"])))
                for e, r in zip(entries, alone)] + [(entries[-1]["log"], "NOT READ", "0", "0")]
    assert [tuple(row[:4]) for row in rows.rows] == expected
    kinds = _kinds(alone)
    assert rows.kinds == {kind: str(count) for kind, count in kinds.items()}
    # Every failed log has its own section, leading with its first problem.
    from markupsafe import escape
    for (log, verdict, *_), report in zip(expected, alone + [None]):
        if verdict != "OK":
            assert f"{escape(log)}: {verdict}</h3>" in text
            if report is not None:
                assert str(escape(report["problems"][0]["message"])) in text


class LogRows(html.parser.HTMLParser):
    """The cells of the verdict table's rows and of the problems-by-kind table."""

    def __init__(self):
        super().__init__()
        self.rows, self.kinds, self._table, self._row, self._cell = [], {}, None, None, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "table":
            self._table = attrs.get("id")
        elif tag == "tr":
            self._row = []
        elif tag == "td" and self._row is not None:
            self._cell = ""

    def handle_endtag(self, tag):
        if tag == "td" and self._cell is not None:
            self._row.append(self._cell.strip())
            self._cell = None
        elif tag == "tr" and self._row:
            if self._table == "logs-table":
                self.rows.append(self._row)
            elif self._table == "kinds-table":
                self.kinds[self._row[0]] = self._row[1]
            self._row = None
        elif tag == "table":
            self._table = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data


@pytest.mark.parametrize("args, message", [
    (["--html", "{manifest}"], "would be overwritten"),
    (["--html", "{folder}/no-such-folder/fleet.html"], "cannot write the HTML report"),
], ids=["manifest-in-its-place", "unwritable"])
def test_html_errors_exit_2(hosts, capsys, args, message):
    args = [arg.format(manifest=hosts.manifest, folder=hosts.folder) for arg in args]
    before = hosts.manifest.read_bytes()
    assert main(["--fleet", str(hosts.manifest), *args]) == 2
    assert message in capsys.readouterr().err
    assert hosts.manifest.read_bytes() == before


def test_browser_shows_the_page_without_a_request(fleet_page, tmp_path):
    from test_html_report import CHROMIUM, chromium, scan

    if CHROMIUM is None:
        pytest.skip("chromium is not installed (make installs it)")
    _, entries, page = fleet_page
    dom, log, urls = chromium(page, tmp_path, "--dump-dom")
    assert urls == [] and [line for line in log.splitlines() if "CONSOLE" in line or "Uncaught" in line] == []
    assert scan(dom).tags["script"] == 0
    rows = LogRows()
    rows.feed(dom)
    assert [row[0] for row in rows.rows] == [entry["log"] for entry in entries]


# ---------------------------------------------------------------- one log split into byte ranges

SPLIT = 4096  # bytes per range: a 60-record log is checked in about 15 ranges, most boundaries inside a line


def at_line(n, change):
    def damage(lines, other):
        lines[n] = edit(lines[n], change)
        return lines
    return damage


# (id, damage of the 60 lines of two writers, whether the log is checked under the other log's key)
SPLIT_CASES = [
    ("clean", lambda lines, other: lines),
    ("chain-broken-across-a-boundary", lambda lines, other: lines[:20] + lines[21:]),
    ("tampered-record", at_line(30, lambda r: r.update(prompt=r["prompt"] + " and more"))),
    ("bad-signature", at_line(33, flip_signature)),
    ("replay-mismatch", at_line(25, lambda r: r.update(output=r["output"] + "!"))),
    ("foreign-record", lambda lines, other: lines[:40] + [other[3]] + lines[40:]),
    # Lines that are no records among bad signatures: each range names its bad records by their lines in it.
    ("foreign-records-among-broken-lines",
     lambda lines, other: lines[:38] + [b"not a record\n", other[3], b"{}\n", other[4], b"\n"] + lines[38:]),
    ("malformed-line", lambda lines, other: lines[:12] + [b'{"id":"oxa_broken"\n'] + lines[13:]),
    ("torn-last-line", lambda lines, other: lines[:-1] + [lines[-1][:40]]),
    ("last-line-without-its-line-feed", lambda lines, other: lines[:-1] + [lines[-1].rstrip(b"\n")]),
    ("wrong-key", lambda lines, other: lines),
]


@pytest.fixture(scope="module")
def split_logs(tmp_path_factory):
    """One log per case of SPLIT_CASES, its key beside it; the wrong-key case names the other log's key."""
    folder = tmp_path_factory.mktemp("split")
    write_log(folder / "clean.wal", count=60)
    other_key = write_log(folder / "other.wal", count=6)
    lines = (folder / "clean.wal").read_bytes().splitlines(keepends=True)
    other = (folder / "other.wal").read_bytes().splitlines(keepends=True)
    entries = {}
    for name, damage in SPLIT_CASES:
        path = folder / name / "audit.wal"
        path.parent.mkdir()
        path.write_bytes(b"".join(damage(list(lines), other)))
        shutil.copy(folder / "clean.wal.key", f"{path}.key")
        entries[name] = {"log": str(path), **({"public_key": other_key} if name == "wrong-key" else {})}
    return entries


def alone(entry):
    return oxa_verify.verify_log(entry["log"], **{k: v for k, v in entry.items() if k != "log"})


def test_the_split_logs_show_what_they_should(split_logs):
    reports = {name: alone(entry) for name, entry in split_logs.items()}
    firsts = {name: (report["problems"] or [{}])[0].get("kind") for name, report in reports.items()}
    assert firsts == {"clean": None, "chain-broken-across-a-boundary": "chain-break",
                      "tampered-record": "hash-mismatch", "bad-signature": "bad-signature",
                      "replay-mismatch": "replay-mismatch", "foreign-record": "bad-signature",
                      "foreign-records-among-broken-lines": "malformed",
                      "malformed-line": "malformed", "torn-last-line": None,
                      "last-line-without-its-line-feed": None, "wrong-key": "wrong-key"}
    assert reports["torn-last-line"]["warnings"][-1]["kind"] == "torn-tail"
    for entry in split_logs.values():
        assert len(fleet._plan(entry, SPLIT)) >= 10


def test_a_log_split_into_ranges_gets_the_report_it_gets_unsplit(split_logs):
    entries = list(split_logs.values())
    split = fleet.verify_fleet(entries, split_bytes=SPLIT)
    unsplit = fleet.verify_fleet(entries, split_bytes=None)
    expected = [alone(entry) for entry in entries]
    assert [result["report"] for result in split["logs"]] == expected
    assert [result["report"] for result in unsplit["logs"]] == expected
    assert split["summary"] == unsplit["summary"]


def test_the_whole_fleet_split_finely_gets_the_reports_it_gets_alone(hosts):
    # Sealed logs with their checkpoints, compressed and rotated pieces (never split), torn ends.
    report = fleet.verify_fleet(fleet.read_manifest(hosts.manifest), split_bytes=1500)
    assert [result["report"] for result in report["logs"]] == hosts.alone()


def test_the_ranges_name_exactly_the_bad_signatures(split_logs):
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

    entry = split_logs["foreign-record"]
    data = open(entry["log"], "rb").read()
    key = Ed25519PublicKey.from_public_bytes(bytes.fromhex(alone(entry)["public_key"]))
    offset, expected_bad, records = 0, [], 0
    for line in data.splitlines(keepends=True):
        record = json.loads(line)
        records += 1
        try:
            key.verify(bytes(record["signature"]), bytes.fromhex(record["hash"]))
        except InvalidSignature:
            expected_bad.append(offset)
        offset += len(line)
    ranges = [fleet.check_entry_range(entry, start, end) for start, end in fleet._plan(entry, SPLIT)]
    assert [r[:2] for r in ranges] == fleet.split_ranges(len(data), SPLIT)
    assert sum(r[3] for r in ranges) == records
    bad = b"".join(r[5] for r in ranges)
    assert [int.from_bytes(bad[i:i + 8], "little") for i in range(0, len(bad), 8)] == expected_bad != []


def test_the_pass_over_a_split_log_takes_its_signatures_from_the_ranges(split_logs):
    # A range that says a good record's signature failed: the report believes it, so nothing was checked twice.
    entry = split_logs["clean"]
    ranges, faked_line = doctored_ranges(entry)
    problems = fleet.verify_entry(entry, 1, ranges)["report"]["problems"]
    assert [(p["line"], p["kind"]) for p in problems] == [(faked_line, "bad-signature")]


def doctored_ranges(entry):
    """The ranges of a clean log, one of which says that a good record's signature failed (the second line
    of the fourth range); with that record's line number."""
    ranges = [fleet.check_entry_range(entry, start, end) for start, end in fleet._plan(entry, SPLIT)]
    data = open(entry["log"], "rb").read()
    start = ranges[3][0]
    first = start if data[start - 1:start] == b"\n" else data.index(b"\n", start) + 1
    offset = data.index(b"\n", first) + 1
    ranges[3] = ranges[3][:5] + (offset.to_bytes(8, "little"), (1).to_bytes(8, "little")) + ranges[3][7:]
    return ranges, data[:offset].count(b"\n") + 1


def _raise():
    raise RuntimeError("a range's worker was lost too often")


# (id, what the pass gets: fetch() from the doctored ranges, and the bounds given it from the planned ones)
PENDING_CASES = [
    ("as-planned", lambda ranges: ranges, lambda bounds: bounds),
    ("fetch-raises", lambda ranges: _raise(), lambda bounds: bounds),
    ("a-range-not-checked", lambda ranges: ranges[:2] + [None] + ranges[3:], lambda bounds: bounds),
    ("a-range-missing", lambda ranges: ranges[:-1], lambda bounds: bounds),
    ("other-bounds", lambda ranges: ranges, lambda bounds: [(0, bounds[1][1])] + bounds[2:]),
    ("under-another-key", lambda ranges: [r[:2] + (bytes(32),) + r[3:] for r in ranges], lambda bounds: bounds),
    ("lines-miscounted", lambda ranges: ranges[:3] + [ranges[3][:7] + (ranges[3][7] + 1,)] + ranges[4:],
     lambda bounds: bounds),
]


@pytest.mark.parametrize("name, fetched, bounds", PENDING_CASES, ids=[case[0] for case in PENDING_CASES])
def test_a_pass_beside_its_ranges_takes_them_at_its_end_or_verifies_the_log_whole(split_logs, name, fetched, bounds):
    # The doctored range shows whether the pass took the ranges: it then reports the good record as bad.
    entry = split_logs["clean"]
    ranges, faked_line = doctored_ranges(entry)
    calls = []

    def fetch():
        calls.append(1)
        return fetched(list(ranges))

    pending = fleet.PendingRanges(fetch, bounds(fleet._plan(entry, SPLIT)))
    problems = fleet.verify_entry(entry, 1, pending)["report"]["problems"]
    expected = [(faked_line, "bad-signature")] if name == "as-planned" else []
    assert [(p["line"], p["kind"]) for p in problems] == expected
    assert len(calls) <= 1


@pytest.mark.parametrize("change", [
    lambda lines: lines[:5] + [edit(lines[5], flip_signature)] + lines[6:],
    lambda lines: lines + lines[-2:-1],
    lambda lines: lines[:-3],
], ids=["signature-flipped", "record-appended", "records-cut"])
def test_a_log_changed_after_its_ranges_were_checked_is_verified_as_it_now_is(split_logs, tmp_path, change):
    path = tmp_path / "audit.wal"
    shutil.copy(split_logs["clean"]["log"], path)
    shutil.copy(split_logs["clean"]["log"] + ".key", f"{path}.key")
    entry = {"log": str(path)}
    ranges = [fleet.check_entry_range(entry, start, end) for start, end in fleet._plan(entry, SPLIT)]
    path.write_bytes(b"".join(change(path.read_bytes().splitlines(keepends=True))))
    assert fleet.verify_entry(entry, 1, ranges) == {"log": str(path), "report": alone(entry)}


@pytest.mark.parametrize("args, message", [
    (["--fleet", "{manifest}", "--split-bytes", "0"], "--split-bytes: needs a whole number of bytes"),
    (["--fleet", "{manifest}", "--split-bytes", "1000", "{log}"], "give no LOG"),
    (["--split-bytes", "1000", "{log}"], "--split-bytes runs a fleet: give --fleet MANIFEST"),
], ids=["zero", "with-a-log", "without-a-fleet"])
def test_split_bytes_usage_errors(split_logs, tmp_path, capsys, args, message):
    manifest = tmp_path / "fleet.jsonl"
    manifest.write_text(json.dumps(split_logs["clean"]) + "\n")
    assert main([arg.format(manifest=manifest, log=split_logs["clean"]["log"]) for arg in args]) == 2
    assert message in capsys.readouterr().err


@needs_cluster
def test_split_logs_on_a_dask_cluster_from_s3_get_the_reports_they_get_alone(split_logs, cluster, s3):
    entries = []
    for name, entry in split_logs.items():
        for suffix in ("", ".key"):
            s3.put_file(entry["log"] + suffix, f"{BUCKET}/split/{name}/audit.wal{suffix}")
        entries.append(dict(entry, log=f"s3://{BUCKET}/split/{name}/audit.wal"))
    report = fleet.verify_fleet(entries, client=cluster, split_bytes=SPLIT)
    expected = [json.loads(json.dumps(alone(entry)).replace(str(Path(entry["log"]).parent.parent) + "/",
                                                           f"s3://{BUCKET}/split/"))
                for entry in split_logs.values()]
    assert [result.get("report") for result in report["logs"]] == expected
    assert report["retried"] == []


@needs_cluster
def test_on_a_dask_cluster_the_pass_beside_the_ranges_takes_their_outcomes(split_logs, cluster):
    # The ranges' tasks (here giving doctored outcomes) are found by name, as verify_fleet shares them.
    entry = split_logs["clean"]
    ranges, faked_line = doctored_ranges(entry)
    run = os.urandom(6).hex()
    keys = [f"oxa-range-test-{run}-{k}" for k in range(len(ranges))]
    checks = [cluster.submit(lambda outcome: outcome, outcome, key=key, pure=False) for outcome, key in zip(ranges, keys)]
    shared = [distributed.Variable(key, cluster) for key in keys]
    for variable, check in zip(shared, checks):
        variable.set(check)
    try:
        result = cluster.submit(fleet.verify_entry_beside_ranges, entry, keys, fleet._plan(entry, SPLIT),
                                pure=False).result()
    finally:
        for variable in shared:
            variable.delete()
    assert [(p["line"], p["kind"]) for p in result["report"]["problems"]] == [(faked_line, "bad-signature")]


@needs_cluster
@pytest.mark.parametrize("victim", ["oxa-verify-", "oxa-range-"], ids=["the-pass", "a-range"])
def test_a_worker_killed_while_a_split_log_is_verified_changes_no_verdict(cluster, tmp_path, victim):
    # The pass waits for its ranges through their shared names: a lost range is checked again, a lost pass
    # starts again and finds the same ranges.
    path = tmp_path / "long.wal"
    write_log(path, count=15000, writers=1)
    lines = path.read_bytes().splitlines(keepends=True)
    path.write_bytes(b"".join(lines[:9000] + [edit(lines[9000], flip_signature)] + lines[9001:]))
    entry = {"log": str(path)}
    pids = cluster.run(os.getpid)
    outcome = {}
    split_bytes = path.stat().st_size // 4 + 1
    runner = threading.Thread(
        target=lambda: outcome.setdefault("report", fleet.verify_fleet([entry], client=cluster, split_bytes=split_bytes)))
    runner.start()
    killed = kill_a_worker_running(cluster, pids, lambda key: key.startswith(victim))
    runner.join(180)
    assert killed is not None and not runner.is_alive()
    assert outcome["report"]["logs"] == [{"log": str(path), "report": alone(entry)}]
    assert outcome["report"]["retried"] == [str(path)]
