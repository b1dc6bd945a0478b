"""Verifying a fleet's logs: one manifest, one report, on this machine's cores or on a Dask cluster.

A manifest is JSON lines, one log each: ``log`` (a path, or an fsspec URL such
as ``s3://bucket/host-17/audit.wal``) and the options that log needs, named as
``verify_log`` names them. Every log is verified by ``verify_log`` on whatever
runs its task, so each log's report is the one ``oxa-verify --json`` prints for
it alone.

A log in object storage is copied by the task that verifies it, piece by piece
in blocks, into a temporary folder of that worker, under the same file names
(so that its key file and its rotated pieces are found as beside a local log),
verified there and removed; the report names the pieces as they were read. The
client sends only the manifest's entries and receives only reports.
"""

import inspect
import json
import os
import shutil
import sys
import tempfile
from collections import Counter

from . import verify_log
from ._pieces import _age

# The options a manifest line may give: verify_log's, less the log itself.
OPTIONS = tuple(name for name in inspect.signature(verify_log).parameters if name != "paths")

# The type each option takes in the manifest, as JSON gives it.
_OPTION_TYPES = {
    "public_key": (str,), "anchors": (list,), "jobs": (int,), "checkpoints": (str,), "notary_key": (str,),
    "require_sealed": (bool,), "rotated": (bool,), "continues": (bool,), "policy": (str,),
    "require_witnessed": (bool,),
}

# Block size of a copy from object storage: a worker holds one block of a log at a time.
COPY_BLOCK = 1 << 20

# How often a log's task is run again after the process running it was lost.
LOST_WORKER_ATTEMPTS = 3

MISSING_PACKAGE = "{what} needs the Python package {package}: pip install 'tvel_oxa[fleet]'"


class ManifestError(ValueError):
    """A manifest line that cannot be used; the message names the file and the line."""


def require(package, what):
    """Imports `package`, or raises ImportError saying what needs it and how to install it."""
    try:
        return __import__(package)
    except ImportError:
        raise ImportError(MISSING_PACKAGE.format(what=what, package=package)) from None


def is_url(path):
    """Whether a manifest path is a URL (scheme://...) rather than a path on the machine."""
    scheme, separator, _ = path.partition("://")
    return bool(separator) and scheme.replace("+", "").replace("-", "").isalnum()


def _local(path):
    """The path on the machine of a file:// URL, or None for any other URL."""
    if path.startswith("file://"):
        return path[len("file://"):]
    return None if is_url(path) else path


def _check_entry(entry):
    """Raises ValueError naming what is wrong with one entry (a dict)."""
    if not isinstance(entry, dict):
        raise ValueError(f"a log's entry must be a JSON object, not {type(entry).__name__}")
    log = entry.get("log")
    if not isinstance(log, str) or not log:
        raise ValueError('"log" must be given as a non-empty string (a path or an fsspec URL)')
    for name, value in entry.items():
        if name == "log":
            continue
        if name not in _OPTION_TYPES or name not in OPTIONS:
            known = ", ".join(n for n in OPTIONS if n in _OPTION_TYPES)
            raise ValueError(f'unknown option "{name}" (known: log, {known})')
        types = _OPTION_TYPES[name]
        if value is None and name not in ("require_sealed", "rotated", "continues", "require_witnessed"):
            continue
        if not isinstance(value, types) or (isinstance(value, bool) and bool not in types):
            raise ValueError(f'"{name}" must be {_type_name(types[0])}, not {_json_type(value)}')
        if name == "anchors" and not all(isinstance(anchor, str) for anchor in value):
            raise ValueError('"anchors" must be a list of strings')
        if name == "jobs" and not 1 <= value <= 1024:
            raise ValueError('"jobs" must be from 1 to 1024')


def _type_name(kind):
    return {str: "a string", list: "a list", int: "a whole number", bool: "true or false"}[kind]


def _json_type(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true or false"
    return {str: "a string", int: "a number", float: "a number", list: "a list", dict: "an object"}.get(
        type(value), type(value).__name__)


def read_manifest(path):
    """The entries of a manifest file, relative paths made relative to its folder.

    Blank lines are skipped. Raises ManifestError naming the file and line of
    the first bad line, OSError when the file cannot be read.
    """
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    entries = []
    with open(path, encoding="utf-8") as manifest:
        try:
            lines = list(manifest)
        except UnicodeDecodeError as error:
            raise ManifestError(f"{path}: not UTF-8 text ({error.reason})") from None
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            try:
                entry = json.loads(line)
            except json.JSONDecodeError as error:
                raise ValueError(f"not JSON: {error.msg} at column {error.colno}") from None
            _check_entry(entry)
        except ValueError as error:
            raise ManifestError(f"{path} line {number}: {error}") from None
        entries.append(_anchored(entry, folder))
    if not entries:
        raise ManifestError(f"{path}: names no log")
    return entries


def _anchored(entry, folder):
    """The entry with its relative local paths (log, checkpoints, policy) taken from `folder`."""
    entry = dict(entry)
    for name in ("log", "checkpoints", "policy"):
        value = entry.get(name)
        if isinstance(value, str) and not is_url(value) and value != "-" and not os.path.isabs(value):
            entry[name] = os.path.join(folder, value)
    return entry


# ---------------------------------------------------------------- one log's task (runs on a worker)

def _copy(fs, source, destination):
    with fs.open(source, "rb") as remote, open(destination, "wb") as local:
        shutil.copyfileobj(remote, local, COPY_BLOCK)


def _remote_pieces(fs, path, rotated, with_key):
    """The object paths to copy for a remote log: the log (or its rotated pieces), and its key file."""
    parent, _, base = path.rpartition("/")
    if rotated:
        names = [name.rpartition("/")[2] for name in fs.ls(parent, detail=False)]
        wanted = [name for name in names if name == base or (_age(name)[0] == base and _age(name)[1][0] != 2)]
    else:
        wanted = [base]
    if with_key and fs.exists(f"{path}.key"):
        wanted.append(f"{base}.key")
    return parent, wanted


def _renamed(value, names):
    """The report with every local name of a copied file replaced by its remote one."""
    if isinstance(value, str):
        for local, remote in names:
            value = value.replace(local, remote)
        return value
    if isinstance(value, list):
        return [_renamed(item, names) for item in value]
    if isinstance(value, dict):
        return {key: _renamed(item, names) for key, item in value.items()}
    return value


def _options(entry, jobs):
    options = {name: value for name, value in entry.items() if name != "log"}
    if options.get("jobs") is None:
        options["jobs"] = jobs
    return options


def verify_entry(entry, jobs=1):
    """One log's verification: {"log": ..., "report": {...}} or {"log": ..., "error": reason}.

    jobs: threads for the signature checks when the entry does not say; one by
    default, since the logs share the cores.
    """
    log = entry["log"]
    options = _options(entry, jobs)
    try:
        local = _local(log)
        side_files = [name for name in ("checkpoints", "policy") if options.get(name) is not None]
        if local is not None and all(_local(options[name]) is not None for name in side_files):
            for name in side_files:
                options[name] = _local(options[name])
            return {"log": log, "report": verify_log(local, **options)}
        return {"log": log, "report": _verify_copied(log, options)}
    except Exception as error:  # the log's own fault; the fleet goes on
        return {"log": log, "error": _reason(error)}


def _reason(error):
    text = str(error)
    if isinstance(error, FileNotFoundError) and error.filename is not None and text.startswith("[Errno"):
        text = f"{error.filename}: no such file"
    return text or type(error).__name__


class _CopiedLogError(Exception):
    """A copied log's failure, its message naming the pieces as they were read."""


def _fetch(fs, source, destination, url):
    try:
        _copy(fs, source, destination)
    except FileNotFoundError as error:
        # Some stores (fsspec's HTTP) report a host they cannot reach as a missing file, the cause chained.
        cause = error.__cause__ or error.__context__
        if cause is None or isinstance(cause, FileNotFoundError) or not isinstance(cause, OSError):
            raise _CopiedLogError(f"{url}: no such object") from None
        raise _CopiedLogError(f"{url}: cannot be read: {_reason(cause)}") from None
    except Exception as error:  # an unreachable host, a refused credential: the store's own words
        raise _CopiedLogError(f"{url}: cannot be read: {_reason(error)}") from None


def _verify_copied(log, options):
    fsspec = require("fsspec", f"reading {log}")
    with tempfile.TemporaryDirectory(prefix="oxa-fleet-") as folder:
        names = []
        local_log = log
        if _local(log) is None:
            fs, path = fsspec.core.url_to_fs(log)
            base = path.rpartition("/")[2]
            prefix = log[: len(log) - len(base)]
            try:
                parent, wanted = _remote_pieces(fs, path, options.get("rotated", False),
                                                options.get("public_key") is None)
            except FileNotFoundError:
                raise _CopiedLogError(f"{prefix}: no such folder") from None
            except Exception as error:
                raise _CopiedLogError(f"{prefix}: cannot be listed: {_reason(error)}") from None
            for name in wanted:
                _fetch(fs, f"{parent}/{name}", os.path.join(folder, name), prefix + name)
            local_log = os.path.join(folder, base)
            names.append((folder + os.sep, prefix))
        for name in ("checkpoints", "policy"):
            side_file = options.get(name)
            if side_file is not None and _local(side_file) is None:
                fs, path = fsspec.core.url_to_fs(side_file)
                os.mkdir(os.path.join(folder, name))
                copied = os.path.join(folder, name, path.rpartition("/")[2])
                _fetch(fs, path, copied, side_file)
                options[name] = copied
                names.insert(0, (copied, side_file))
            elif side_file is not None:
                options[name] = _local(side_file)
        try:
            return _renamed(verify_log(local_log, **options), names)
        except (OSError, ValueError) as error:
            raise _CopiedLogError(_renamed(_reason(error), names)) from None


# ---------------------------------------------------------------- the fleet

def summary(results):
    """The fleet's summary: logs, records, failed (a problem found or not read), problems by kind."""
    kinds = Counter()
    records = failed = 0
    for result in results:
        report = result.get("report")
        if report is None:
            failed += 1
            continue
        records += report.get("records", 0)
        failed += not report.get("ok", False)
        kinds.update(problem.get("kind", "") for problem in report.get("problems", ()))
    return {"logs": len(results), "records": records, "failed": failed, "problems_by_kind": dict(sorted(kinds.items()))}


def _checked(entries):
    entries = list(entries)
    for number, entry in enumerate(entries, 1):
        try:
            _check_entry(entry)
        except ValueError as error:
            raise ValueError(f"entry {number}: {error}") from None
    return entries


def verify_fleet(entries, client=None, progress=None):
    """Verify every log of a fleet and return the fleet's report as a dict.

    entries: dicts as a manifest's lines give them (``log`` and verify_log's
    options by name; relative paths are taken as they are). client: a
    ``dask.distributed.Client`` whose cluster runs the tasks; without it, a
    pool of this machine's cores. progress: called as progress(done, total,
    records) after each log.

    The dict holds ``logs`` (per log, in the entries' order, ``log`` and its
    ``report`` as ``verify_log`` gives it, or ``error`` when it could not be
    read), ``summary`` (logs, records, failed, problems_by_kind) and
    ``retried`` (the logs whose task was run again after the worker running it
    was lost). Raises ValueError or TypeError for a bad entry, before any log
    is read.
    """
    entries = _checked(entries)
    if client is None:
        results, retried = _run_on_cores(entries, progress)
    else:
        results, retried = _run_on_cluster(entries, client, progress)
    return {"logs": results, "summary": summary(results), "retried": retried}


def _tick(progress, results, total):
    if progress is not None:
        done = [r for r in results if r is not None]
        progress(len(done), total, sum(r.get("report", {}).get("records", 0) for r in done))


def _run_on_cores(entries, progress):
    import concurrent.futures
    from concurrent.futures.process import BrokenProcessPool

    results = [None] * len(entries)
    attempts = [0] * len(entries)
    retried = []
    cores = os.cpu_count() or 1
    workers = min(len(entries), cores)
    # Fewer logs than cores: each log's signature checks take the cores left over.
    jobs = max(1, cores // len(entries))
    pending = list(range(len(entries)))
    while pending:
        lost = []
        with concurrent.futures.ProcessPoolExecutor(workers) as pool:
            futures = {pool.submit(verify_entry, entries[i], jobs): i for i in pending}
            for future in concurrent.futures.as_completed(futures):
                index = futures[future]
                try:
                    results[index] = future.result()
                except BrokenProcessPool:
                    lost.append(index)
                    continue
                _tick(progress, results, len(entries))
        pending = []
        for index in sorted(lost):
            attempts[index] += 1
            if attempts[index] > LOST_WORKER_ATTEMPTS:
                results[index] = {"log": entries[index]["log"], "error": "the worker verifying it was lost "
                                  f"{attempts[index]} times"}
                _tick(progress, results, len(entries))
            else:
                pending.append(index)
        # A broken pool fails every task still in it, not only the one whose process died.
        retried.extend(entries[i]["log"] for i in pending if entries[i]["log"] not in retried)
    return results, retried


def _lost_on_scheduler(dask_scheduler, keys):
    """The keys of tasks that were running on a worker when it was lost (run on the scheduler)."""
    return [key for key in keys if key in dask_scheduler.tasks and dask_scheduler.tasks[key].suspicious > 0]


def _run_on_cluster(entries, client, progress):
    distributed = require("distributed", "verifying on a Dask cluster")
    import uuid

    run = uuid.uuid4().hex[:12]
    keys = [f"oxa-verify-{run}-{i}" for i in range(len(entries))]
    futures = [client.submit(verify_entry, entry, key=key, pure=False) for entry, key in zip(entries, keys)]
    index = {future.key: i for i, future in enumerate(futures)}
    results = [None] * len(entries)
    for future in distributed.as_completed(futures):
        i = index[future.key]
        try:
            results[i] = future.result()
        except distributed.KilledWorker:
            results[i] = {"log": entries[i]["log"], "error": "the worker verifying it was lost too often"}
        _tick(progress, results, len(entries))
    # Read while the futures are held, so that the scheduler still knows the tasks.
    lost = set(client.run_on_scheduler(_lost_on_scheduler, keys=keys))
    del futures
    retried = [entries[i]["log"] for i, key in enumerate(keys) if key in lost]
    return results, retried


def start_local_cluster(workers):
    """A Client on a new local cluster of `workers` processes (one thread each); its dashboard link is printed."""
    distributed = require("distributed", "--dask local:N")
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                       dashboard_address="127.0.0.1:0", host="127.0.0.1")
    client = distributed.Client(cluster)
    return client, cluster


class ProgressBar:
    """A one-line progress display on a terminal: logs and records done."""

    def __init__(self, stream=None):
        self.stream = stream or sys.stderr
        self.shown = False

    def __call__(self, done, total, records):
        width = 30
        filled = width * done // max(total, 1)
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} logs, {records} records")
        self.stream.flush()
        self.shown = True

    def close(self):
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


# ---------------------------------------------------------------- the command (oxa-verify --fleet)

# The command's options that name one log; with --fleet each log's manifest line gives them.
_PER_LOG_OPTIONS = (("logs", "LOG"), ("public_key", "--public-key"), ("anchor", "--anchor"), ("jobs", "--jobs"),
                    ("rotated", "--rotated"), ("continues", "--continues"), ("checkpoints", "--checkpoints"),
                    ("notary_key", "--notary-key"), ("require_sealed", "--require-sealed"), ("proof", "--proof"),
                    ("policy", "--policy"), ("require_witnessed", "--require-witnessed"))

FIRST_PROBLEMS_SHOWN = 3


def _local_workers(address):
    count = address[len("local:"):]
    if not count.isdigit() or not 1 <= int(count) <= 1024:
        raise ValueError("--dask local:N needs N, a whole number of worker processes from 1 to 1024")
    return int(count)


def text_report(fleet):
    """The fleet report as text: one line per log, its first problems, then the summary."""
    lines = []
    for result in fleet["logs"]:
        report = result.get("report")
        if report is None:
            lines.append(f"{result['log']}: NOT READ: {result['error']}")
            continue
        verdict = "OK" if report.get("ok") else "FAILED"
        problems = report.get("problems", [])
        lines.append(f"{result['log']}: {verdict}: {report.get('records', 0)} records, {len(problems)} problems, "
                     f"{len(report.get('warnings', []))} warnings")
        for problem in problems[:FIRST_PROBLEMS_SHOWN]:
            where = f"line {problem['line']}: " if problem.get("line") else ""
            lines.append(f"  {where}{problem.get('kind')}: {problem.get('message', '')}")
        if len(problems) > FIRST_PROBLEMS_SHOWN:
            lines.append(f"  ... and {len(problems) - FIRST_PROBLEMS_SHOWN} more")
    total = fleet["summary"]
    lines.append(f"fleet: {total['logs']} logs, {total['records']} records, {total['failed']} failed")
    for kind, count in total["problems_by_kind"].items():
        lines.append(f"  {kind}: {count}")
    if fleet["retried"]:
        lines.append("retried after a lost worker: " + ", ".join(fleet["retried"]))
    return "\n".join(lines) + "\n"


def run_command(parser, options):
    """oxa-verify --fleet MANIFEST [--dask ADDRESS] [--json]; returns the exit status."""
    if options.fleet is None:
        parser.error("--dask runs a fleet: give --fleet MANIFEST")
    for name, flag in _PER_LOG_OPTIONS:
        if getattr(options, name, None):
            parser.error(f"--fleet takes each log's options from its manifest line: give no {flag}")
    try:
        entries = read_manifest(options.fleet)
    except ManifestError as error:
        print(f"oxa-verify: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"oxa-verify: {options.fleet}: {error.strerror or error}", file=sys.stderr)
        return 2
    client = cluster = None
    try:
        if options.dask is not None:
            try:
                if options.dask.startswith("local:"):
                    client, cluster = start_local_cluster(_local_workers(options.dask))
                    print(f"oxa-verify: Dask dashboard: {client.dashboard_link}", file=sys.stderr)
                else:
                    distributed = require("distributed", "--dask")
                    client = distributed.Client(options.dask, timeout=30)
            except ValueError as error:
                parser.error(str(error))
            except ImportError as error:
                print(f"oxa-verify: {error}", file=sys.stderr)
                return 2
            except OSError as error:
                print(f"oxa-verify: cannot reach the Dask cluster at {options.dask}: {error}", file=sys.stderr)
                return 2
        if any(is_url(entry["log"]) and not entry["log"].startswith("file://") for entry in entries):
            try:
                require("fsspec", "reading a log by URL")
            except ImportError as error:
                print(f"oxa-verify: {error}", file=sys.stderr)
                return 2
        bar = ProgressBar() if sys.stderr.isatty() else None
        try:
            fleet = verify_fleet(entries, client, progress=bar)
        finally:
            if bar is not None:
                bar.close()
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
    sys.stdout.write(json.dumps(fleet, indent=2) + "\n" if options.json else text_report(fleet))
    return 1 if fleet["summary"]["failed"] else 0
