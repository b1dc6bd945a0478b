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

from . import _DEFAULT_MAX_LINE_BYTES, _log_arguments, _native, verify_log
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

# A log larger than this is split into byte ranges whose signatures are checked by separate tasks.
DEFAULT_SPLIT_BYTES = 256 << 20

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


class PendingRanges:
    """The outcomes of check_entry_range over a whole log, still being made: `fetch()` waits for them and
    returns them in order; `bounds` are the ranges' (start, end) as planned."""

    def __init__(self, fetch, bounds):
        self.fetch = fetch
        self.bounds = [tuple(bound) for bound in bounds]


def verify_entry(entry, jobs=1, ranges=None):
    """One log's verification: {"log": ..., "report": {...}} or {"log": ..., "error": reason}.

    jobs: threads for the signature checks when the entry does not say; one by
    default, since the logs share the cores. ranges: the outcomes of
    check_entry_range over the whole log, whose signature checks are then
    taken instead of made again; when one is missing (None) the log is
    verified whole. Or PendingRanges: the pass over the log then runs while
    they are made, and takes them once it has read its last line.
    """
    log = entry["log"]
    options = _options(entry, jobs)
    if isinstance(ranges, PendingRanges):
        checked = ranges
    else:
        checked = list(ranges) if ranges and all(r is not None for r in ranges) else None
    try:
        local = _local(log)
        side_files = [name for name in ("checkpoints", "policy") if options.get(name) is not None]
        if local is not None and all(_local(options[name]) is not None for name in side_files):
            for name in side_files:
                options[name] = _local(options[name])
            return {"log": log, "report": _verify(local, options, checked)}
        return {"log": log, "report": _verify_copied(log, options, checked)}
    except Exception as error:  # the log's own fault; the fleet goes on
        return {"log": log, "error": _reason(error)}


def _verify(path, options, checked):
    """verify_log's report of one piece, its signatures taken from `checked` ranges when they are given.

    Whatever keeps the ranges from being used (the log changed since, a key
    other than the ranges'), the log is verified whole instead: the report is
    always the one verify_log gives.
    """
    if isinstance(checked, PendingRanges) and _compressed(path):
        checked = None  # no byte ranges: the ranges' checks refuse it, so its signatures are checked here
    if checked:
        arguments = _log_arguments(path, **{k: v for k, v in options.items() if k != "anchors"},
                                   anchors=options.get("anchors") or ())
        if isinstance(checked, PendingRanges):
            ranges = (checked.fetch, list(checked.bounds))
        else:
            ranges = (checked,)
        try:
            report = json.loads(_native.verify_checked(*arguments, *ranges))
        except (OSError, ValueError):
            pass
        else:
            return report
    return verify_log(path, **options)


def _compressed(path):
    try:
        with open(path, "rb") as file:
            return file.read(2) == b"\x1f\x8b"
    except OSError:
        return False  # the pass says why


def split_ranges(size, split_bytes):
    """The byte ranges [start, end) of a log of `size` bytes: as few as keep each within split_bytes, of equal size."""
    count = -(-size // split_bytes)
    return [(size * i // count, size * (i + 1) // count) for i in range(count)]


def check_entry_range(entry, start, end, jobs=1):
    """The signature checks of the records that begin in bytes [start, end) of an entry's log (one piece).

    Returns what verify_entry takes in `ranges`, or None when this range
    cannot be checked apart (a compressed log, a key that is not beside the
    log, a log that cannot be read): the log is then verified whole, and says why.
    """
    log = entry["log"]
    key = entry.get("public_key")
    limit = entry.get("max_line_bytes") or _DEFAULT_MAX_LINE_BYTES
    try:
        local = _local(log)
        if local is not None:
            return _native.check_range(local, 0, start, end, key, f"{local}.key", jobs, limit)
        fsspec = require("fsspec", f"reading {log}")
        fs, path = fsspec.core.url_to_fs(log)
        with tempfile.TemporaryDirectory(prefix="oxa-fleet-") as folder:
            part = os.path.join(folder, "part")
            base = _copy_range(fs, path, start, end, part)
            key_file = os.path.join(folder, "part.key")
            if key is None:
                _copy(fs, f"{path}.key", key_file)
            return _native.check_range(part, base, start, end, key, key_file, jobs, limit)
    except Exception:  # the whole log's pass reports the log's faults
        return None


def _copy_range(fs, path, start, end, destination):
    """Copies what a range's check reads: from the byte before `start` to the line feed that ends the range's
    last line (or the object's end). Returns the offset of the copy's first byte."""
    base = max(start - 1, 0)
    with fs.open(path, "rb") as remote, open(destination, "wb") as local:
        remote.seek(base)
        left = end - base
        last = b""
        while left > 0:
            block = remote.read(min(COPY_BLOCK, left))
            if not block:
                return base
            local.write(block)
            left -= len(block)
            last = block[-1:]
        if last == b"\n" or end == base:
            return base
        while True:
            block = remote.read(COPY_BLOCK)
            if not block:
                return base
            feed = block.find(b"\n")
            if feed >= 0:
                local.write(block[: feed + 1])
                return base
            local.write(block)


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


def _verify_copied(log, options, checked=None):
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
            return _renamed(_verify(local_log, options, checked), names)
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


def verify_fleet(entries, client=None, progress=None, split_bytes=DEFAULT_SPLIT_BYTES):
    """Verify every log of a fleet and return the fleet's report as a dict.

    entries: dicts as a manifest's lines give them (``log`` and verify_log's
    options by name; relative paths are taken as they are). client: a
    ``dask.distributed.Client`` whose cluster runs the tasks; without it, a
    pool of this machine's cores. progress: called as progress(done, total,
    records) after each log. split_bytes: a log of one uncompressed piece
    larger than this has its signatures checked in byte ranges of at most
    this size, by separate tasks, and one pass over it links its chains
    and makes its report (the same report as unsplit): on a cluster beside
    those tasks, on this machine's cores after them; None never splits.

    The dict holds ``logs`` (per log, in the entries' order, ``log`` and its
    ``report`` as ``verify_log`` gives it, or ``error`` when it could not be
    read), ``summary`` (logs, records, failed, problems_by_kind) and
    ``retried`` (the logs whose task was run again after the worker running it
    was lost). Raises ValueError or TypeError for a bad entry, before any log
    is read.
    """
    entries = _checked(entries)
    if split_bytes is not None and (isinstance(split_bytes, bool) or not isinstance(split_bytes, int)):
        raise TypeError(f"split_bytes must be an int or None, not {type(split_bytes).__name__}")
    if split_bytes is not None and split_bytes < 1:
        raise ValueError("split_bytes must be at least 1")
    plans = [_plan(entry, split_bytes) for entry in entries]
    if client is None:
        results, retried = _run_on_cores(entries, plans, progress)
    else:
        results, retried = _run_on_cluster(entries, plans, client, progress)
    return {"logs": results, "summary": summary(results), "retried": retried}


def _size(log):
    """The size in bytes of a log's one piece, or None when it cannot be told (its task will say why)."""
    try:
        local = _local(log)
        if local is not None:
            return os.path.getsize(local) if os.path.isfile(local) else None
        fsspec = require("fsspec", f"reading {log}")
        fs, path = fsspec.core.url_to_fs(log)
        return fs.size(path)
    except Exception:
        return None


def _plan(entry, split_bytes):
    """The byte ranges that an entry's log is checked in, or None to verify it in one task."""
    if split_bytes is None or entry.get("rotated") or entry["log"] == "-":
        return None
    size = _size(entry["log"])
    if size is None or size <= split_bytes:
        return None
    return split_ranges(size, split_bytes)


def _tick(progress, results, total):
    if progress is not None:
        done = [r for r in results if r is not None]
        progress(len(done), total, sum(r.get("report", {}).get("records", 0) for r in done))


class LostWorker(Exception):
    """A task whose worker was lost too often."""


def _lost(entry, attempts=None):
    times = f" {attempts} times" if attempts else " too often"
    return {"log": entry["log"], "error": f"the worker verifying it was lost{times}"}


def _pool_run(tasks, workers, on_done):
    """Runs tasks (function, arguments) on a pool of `workers` processes, each again after the pool broke
    under it (a process killed), up to LOST_WORKER_ATTEMPTS times. Calls on_done(index, result) as each ends
    (the result of a task lost too often is a LostWorker); returns the indices of the tasks run again."""
    import concurrent.futures
    from concurrent.futures.process import BrokenProcessPool

    attempts = [0] * len(tasks)
    retried = set()
    pending = list(range(len(tasks)))
    while pending:
        lost = []
        with concurrent.futures.ProcessPoolExecutor(max(1, min(workers, len(pending)))) as pool:
            futures = {pool.submit(tasks[i][0], *tasks[i][1]): i for i in pending}
            for future in concurrent.futures.as_completed(futures):
                index = futures[future]
                try:
                    result = future.result()
                except BrokenProcessPool:
                    lost.append(index)
                    continue
                on_done(index, result)
        pending = []
        for index in sorted(lost):
            attempts[index] += 1
            if attempts[index] > LOST_WORKER_ATTEMPTS:
                on_done(index, LostWorker(attempts[index]))
            else:
                pending.append(index)
        # A broken pool fails every task still in it, not only the one whose process died.
        retried.update(pending)
    return retried


def _run_on_cores(entries, plans, progress):
    cores = os.cpu_count() or 1
    results = [None] * len(entries)
    whole = [i for i, plan in enumerate(plans) if plan is None]
    split = [i for i, plan in enumerate(plans) if plan is not None]
    # Fewer logs than cores: each log's signature checks take the cores left over.
    jobs = max(1, cores // max(1, len(whole) + sum(len(plans[i]) for i in split)))
    # First every log verified whole and every range of a split log; then one pass over each split log.
    tasks, owners = [], []
    for i in whole:
        tasks.append((verify_entry, (entries[i], jobs)))
        owners.append((i, None))
    for i in split:
        for k, (start, end) in enumerate(plans[i]):
            tasks.append((check_entry_range, (entries[i], start, end, jobs)))
            owners.append((i, k))
    ranges = {i: [None] * len(plans[i]) for i in split}

    def done(index, result):
        i, k = owners[index]
        if k is not None:
            ranges[i][k] = None if isinstance(result, LostWorker) else result
            return
        results[i] = _lost(entries[i], result.args[0]) if isinstance(result, LostWorker) else result
        _tick(progress, results, len(entries))

    retried = {owners[index][0] for index in _pool_run(tasks, cores, done)}
    if split:
        passes = [(verify_entry, (entries[i], 1, ranges[i])) for i in split]

        def pass_done(index, result):
            i = split[index]
            results[i] = _lost(entries[i], result.args[0]) if isinstance(result, LostWorker) else result
            _tick(progress, results, len(entries))

        retried.update(split[index] for index in _pool_run(passes, cores, pass_done))
    return results, [entries[i]["log"] for i in sorted(retried)]


def _lost_on_scheduler(dask_scheduler, keys):
    """The keys of tasks that were running on a worker when it was lost (run on the scheduler)."""
    return [key for key in keys if key in dask_scheduler.tasks and dask_scheduler.tasks[key].suspicious > 0]


def _run_on_cluster(entries, plans, client, progress):
    distributed = require("distributed", "verifying on a Dask cluster")
    import uuid

    run = uuid.uuid4().hex[:12]
    futures = []
    held = []  # the ranges' futures, held so that the scheduler still knows them at the end
    shared = []  # the same futures as the passes' tasks find them
    keys = {}  # every task's key: the log it serves
    for i, (entry, plan) in enumerate(zip(entries, plans)):
        key = f"oxa-verify-{run}-{i}"
        keys[key] = i
        if plan is None:
            futures.append(client.submit(verify_entry, entry, key=key, pure=False))
            continue
        # The ranges' checks spread over the workers, and the pass over the log beside them: it needs their
        # outcomes only once it has read its last line, so it starts first and waits for them at its end.
        checks = []
        for k, (start, end) in enumerate(plan):
            range_key = f"oxa-range-{run}-{i}-{k}"
            keys[range_key] = i
            checks.append(client.submit(check_entry_range, entry, start, end, key=range_key, pure=False))
            # Named, so that the pass's task finds the range's outcome without waiting for it to start.
            shared.append(distributed.Variable(range_key, client))
            shared[-1].set(checks[-1])
        held.extend(checks)
        futures.append(client.submit(verify_entry_beside_ranges, entry, [check.key for check in checks], plan,
                                     key=key, pure=False, priority=1))
    index = {future.key: i for i, future in enumerate(futures)}
    results = [None] * len(entries)
    try:
        for future in distributed.as_completed(futures):
            i = index[future.key]
            try:
                results[i] = future.result()
            except distributed.KilledWorker:
                results[i] = _lost(entries[i])
            _tick(progress, results, len(entries))
        # Read while the futures are held, so that the scheduler still knows the tasks.
        lost = set(client.run_on_scheduler(_lost_on_scheduler, keys=list(keys)))
    finally:
        # The scheduler would otherwise keep them (and the ranges' outcomes) as long as it runs.
        for variable in shared:
            variable.delete()
    del futures, held
    retried = sorted({keys[key] for key in lost})
    return results, [entries[i]["log"] for i in retried]


def verify_entry_beside_ranges(entry, range_keys, bounds):
    """verify_entry on a Dask worker for a split log, while other tasks (range_keys) check its ranges' `bounds`.

    The task leaves the worker's thread pool for its run, so that the worker
    goes on checking ranges beside it; a range lost for good makes the pass
    verify the log whole.
    """
    distributed = require("distributed", "verifying on a Dask cluster")
    with distributed.worker_client() as client:
        futures = [distributed.Variable(key, client).get() for key in range_keys]
        return verify_entry(entry, 1, PendingRanges(lambda: client.gather(futures), bounds))


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
                    ("policy", "--policy"), ("require_witnessed", "--require-witnessed"),
                    ("max_line_bytes", "--max-line-bytes"))

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


def run_command(parser, options, args=None):
    """oxa-verify --fleet MANIFEST [--dask ADDRESS] [--json] [--html FILE]; returns the exit status."""
    if options.fleet is None:
        parser.error(f"{'--dask' if options.dask is not None else '--split-bytes'} runs a fleet: give --fleet MANIFEST")
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
    if options.html is not None:
        problem = _html_problem(options.html, options.fleet, entries)
        if problem:
            print(f"oxa-verify: {problem}", file=sys.stderr)
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
            split_bytes = DEFAULT_SPLIT_BYTES if options.split_bytes is None else options.split_bytes
            fleet = verify_fleet(entries, client, progress=bar, split_bytes=split_bytes)
        finally:
            if bar is not None:
                bar.close()
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
    sys.stdout.write(json.dumps(fleet, indent=2) + "\n" if options.json else text_report(fleet))
    if options.html is not None:
        from .html_report import write_fleet_html_report
        try:
            write_fleet_html_report(fleet, options.html, args)
        except OSError as error:
            print(f"oxa-verify: cannot write the HTML report {options.html}: {error.strerror or error}", file=sys.stderr)
            return 2
    return 1 if fleet["summary"]["failed"] else 0


def _html_problem(html_path, manifest, entries):
    """Why the fleet's page cannot be written to ``html_path`` (a package missing, an input in its place), or None."""
    from .html_report import MissingReportPackage, missing_report_packages

    missing = missing_report_packages()
    if missing:
        return str(MissingReportPackage(missing))
    if not os.path.exists(html_path):
        return None
    inputs = [manifest]
    for entry in entries:
        for name in (entry["log"], f"{entry['log']}.key", entry.get("checkpoints")):
            if name is not None and _local(name) is not None:
                inputs.append(_local(name))
    for name in inputs:
        try:
            if os.path.samefile(html_path, name):
                return f"--html {html_path} is the input file {name}: it would be overwritten"
        except OSError:
            continue
    return None
