"""The witness's memory: the latest cosigned size and root of every log, in SQLite."""

import sqlite3
import threading

SCHEMA = """
CREATE TABLE IF NOT EXISTS cosigned (
  origin BLOB PRIMARY KEY,
  size INTEGER NOT NULL CHECK (size >= 0),
  root BLOB NOT NULL
)
"""


class StateClosed(RuntimeError):
    """The state was closed before the change could be made."""


class _Change:
    __slots__ = ("origin", "size", "root", "check", "status", "stored_size", "error", "done")

    def __init__(self, origin, size, root, check):
        self.origin = origin
        self.size = size
        self.root = root
        self.check = check
        self.status = None
        self.stored_size = None
        self.error = None
        self.done = threading.Event()


class WitnessState:
    """Per origin, the size and root of the last checkpoint cosigned.

    Every change reads the stored row, lets the caller's check decide and
    writes, inside a ``BEGIN IMMEDIATE`` transaction: no other change (nor
    another process on the same file) slips between the check and the store.
    One writer thread makes the changes in arrival order; the changes that
    arrive while a commit is on its way to disk share the next transaction,
    so that a busy witness pays one fsync for many requests. Each change sees
    the rows as the changes before it left them, inside the transaction. With
    ``synchronous=FULL`` the commit is on disk before ``advance`` returns.
    """

    def __init__(self, path):
        self._db = sqlite3.connect(path, timeout=30, isolation_level=None, check_same_thread=False)
        self._db.execute("PRAGMA journal_mode=WAL")
        self._db.execute("PRAGMA synchronous=FULL")
        self._db.execute(SCHEMA)
        self._pending = []
        self._wakeup = threading.Condition()
        self._closed = False
        self._writer = threading.Thread(target=self._write_loop, name="witness-state", daemon=True)
        self._writer.start()

    def advance(self, origin, size, root, check):
        """Store ``(size, root)`` for ``origin`` if ``check(stored_size, stored_root)`` returns 200.

        ``stored_root`` is None for an origin never cosigned (its size is 0).
        Returns ``(status, stored_size)``: ``check``'s status and the size
        stored before this change, once the change is durable. Raises the
        storage's error when the transaction failed (nothing was stored).
        """
        change = _Change(origin, size, root, check)
        with self._wakeup:
            if self._closed:
                raise StateClosed("the witness state is closed")
            self._pending.append(change)
            self._wakeup.notify()
        change.done.wait()
        if change.error is not None:
            raise change.error
        return change.status, change.stored_size

    def close(self):
        """Finish the changes already submitted, then close the database."""
        with self._wakeup:
            self._closed = True
            self._wakeup.notify()
        self._writer.join()
        self._db.close()

    def _write_loop(self):
        while True:
            with self._wakeup:
                while not self._pending and not self._closed:
                    self._wakeup.wait()
                if not self._pending:
                    return
                batch, self._pending = self._pending, []
            self._commit(batch)
            for change in batch:
                change.done.set()

    def _commit(self, batch):
        db = self._db
        try:
            db.execute("BEGIN IMMEDIATE")
            for change in batch:
                row = db.execute("SELECT size, root FROM cosigned WHERE origin = ?", (change.origin,)).fetchone()
                stored_size, stored_root = row if row is not None else (0, None)
                change.stored_size = stored_size
                try:
                    change.status = change.check(stored_size, stored_root)
                except Exception as error:
                    change.error = error
                    continue
                if change.status == 200:
                    db.execute(
                        "INSERT INTO cosigned (origin, size, root) VALUES (?, ?, ?) "
                        "ON CONFLICT (origin) DO UPDATE SET size = excluded.size, root = excluded.root",
                        (change.origin, change.size, change.root),
                    )
            db.execute("COMMIT")
        except Exception as error:
            # Nothing of the batch is stored: every change in it fails.
            if db.in_transaction:
                try:
                    db.execute("ROLLBACK")
                except sqlite3.Error:
                    pass
            for change in batch:
                change.error = error
