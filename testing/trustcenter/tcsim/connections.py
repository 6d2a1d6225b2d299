"""Counts the connections each listener accepted, for tests that check how
many a client opened.

An HTTPS connection counts once its TLS handshake completed; one whose
handshake failed counts apart, so a client that distrusts the CA is not taken
for one that opened a connection. The counts live in connections.json, which
is replaced by renaming at every change, so a reader always finds a whole file.
"""

import json
import os
import threading

FILE_NAME = "connections.json"


class ConnectionCounter:
    def __init__(self, state_dir):
        self.path = os.path.join(state_dir, FILE_NAME)
        self._lock = threading.Lock()
        self._counts = {"https": 0, "http": 0, "https_handshake_failures": 0}
        with self._lock:
            self._write()

    def accepted(self, port_kind):
        """The new connection's number on its port, counted from 1."""
        with self._lock:
            self._counts[port_kind] += 1
            number = self._counts[port_kind]
            self._write()
        return number

    def handshake_failed(self):
        with self._lock:
            self._counts["https_handshake_failures"] += 1
            self._write()

    def counts(self):
        with self._lock:
            return dict(self._counts)

    def _write(self):
        # Called under the lock, so one temporary name is enough.
        tmp = os.path.join(os.path.dirname(self.path), "." + FILE_NAME + ".tmp")
        with open(tmp, "w") as f:
            f.write(json.dumps(self._counts) + "\n")
        os.replace(tmp, self.path)
