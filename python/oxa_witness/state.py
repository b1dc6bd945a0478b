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


class WitnessState:
    """Per origin, the size and root of the last checkpoint cosigned.

    Every change is one ``BEGIN IMMEDIATE`` transaction that reads the row,
    decides and writes: another request (or another process on the same file)
    cannot slip between the check and the store. With ``synchronous=FULL`` the
    commit is on disk before the caller answers.
    """

    def __init__(self, path):
        self._db = sqlite3.connect(path, timeout=30, isolation_level=None, check_same_thread=False)
        self._lock = threading.Lock()
        self._db.execute("PRAGMA journal_mode=WAL")
        self._db.execute("PRAGMA synchronous=FULL")
        self._db.execute(SCHEMA)

    def advance(self, origin, size, root, check):
        """Store ``(size, root)`` for ``origin`` if ``check(stored_size, stored_root)`` returns 200.

        ``stored_root`` is None for an origin never cosigned (its size is 0).
        Returns ``(status, stored_size)``: ``check``'s status and the size
        stored before this call.
        """
        with self._lock:
            self._db.execute("BEGIN IMMEDIATE")
            try:
                row = self._db.execute("SELECT size, root FROM cosigned WHERE origin = ?", (origin,)).fetchone()
                stored_size, stored_root = row if row is not None else (0, None)
                status = check(stored_size, stored_root)
                if status == 200:
                    self._db.execute(
                        "INSERT INTO cosigned (origin, size, root) VALUES (?, ?, ?) "
                        "ON CONFLICT (origin) DO UPDATE SET size = excluded.size, root = excluded.root",
                        (origin, size, root),
                    )
                self._db.execute("COMMIT")
            except BaseException:
                if self._db.in_transaction:
                    self._db.execute("ROLLBACK")
                raise
            return status, stored_size

    def stored(self, origin):
        """``(size, root)`` last cosigned for ``origin``, or None."""
        with self._lock:
            return self._db.execute("SELECT size, root FROM cosigned WHERE origin = ?", (origin,)).fetchone()

    def close(self):
        with self._lock:
            self._db.close()
