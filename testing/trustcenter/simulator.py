#!/usr/bin/env python3
"""Test trust center on 127.0.0.1: configuration download, certificates, gates and
the HIN OAuth service, with faults that tests switch on through control.json.

    simulator.py --state-dir DIR [--time-limit SECONDS] [--config-src DIR] [--parent-pid PID]
                 [--public-port PORT]

When it is ready it writes DIR/sim.json (ports and paths) and prints the same
line. It ends on SIGTERM or SIGINT, after the time limit, and as soon as the
process that started it is gone, so a crashed test leaves nothing behind.

--public-port: the port that the served configuration and the session URLs
name instead of the HTTPS port, so that a proxy listening there can stand
between the client and the simulator. DIR/connections.json counts the
connections each listener accepted.
"""

import argparse
import json
import os
import signal
import sys
import threading
import time

# Runs from the source tree: leave no __pycache__ behind in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from tcsim import connections as cn  # noqa: E402
from tcsim import fixture as fx  # noqa: E402
from tcsim import gate as gt  # noqa: E402
from tcsim import pki  # noqa: E402
from tcsim import server as sv  # noqa: E402
from tcsim import state as st  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


class Simulator:
    def __init__(self, state_dir, config_src, public_port=0):
        self.state_dir = os.path.abspath(state_dir)
        os.makedirs(self.state_dir, exist_ok=True)
        self.fixture = fx.Fixture(config_src)
        self.recipients_dir = os.path.join(self.state_dir, "recipients")
        self.tls = pki.make_all(self.state_dir, self.fixture.recipients)
        self.state = st.State(self.state_dir)
        self.gate = gt.Gate(self.state)
        self.connections = cn.ConnectionCounter(self.state_dir)
        context = sv.make_tls_context(self.tls["server_cert"], self.tls["server_key"])
        self.https = sv.Server(self, "https", context)
        self.http = sv.Server(self, "http")
        self.state.https_port = self.https.server_address[1]
        self.state.http_port = self.http.server_address[1]
        self.state.public_port = public_port or self.state.https_port

    def start(self):
        for server in (self.https, self.http):
            threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                             daemon=True).start()
        info = {"https_port": self.state.https_port, "http_port": self.state.http_port,
                "public_port": self.state.public_port, "connections_file": self.connections.path,
                "ca_file": self.tls["ca_file"], "recipients_dir": self.recipients_dir,
                "uploads_dir": self.state.uploads_dir, "responses_dir": self.state.responses_dir,
                "requests_log": self.state.requests_log, "pid": os.getpid()}
        line = json.dumps(info)
        target = os.path.join(self.state_dir, "sim.json")
        with open(target + ".tmp", "w") as f:
            f.write(line + "\n")
        os.replace(target + ".tmp", target)
        print(line, flush=True)

    def stop(self):
        for server in (self.https, self.http):
            server.shutdown()
            server.server_close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--time-limit", type=float, default=600)
    parser.add_argument("--config-src", default=os.path.join(HERE, "config"))
    parser.add_argument("--parent-pid", type=int, default=None,
                        help="stop when this process is no longer the parent (default: the parent at start)")
    parser.add_argument("--public-port", type=int, default=0,
                        help="the port served URLs name (default: the HTTPS port)")
    args = parser.parse_args()

    parent = args.parent_pid if args.parent_pid is not None else os.getppid()
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    deadline = time.monotonic() + args.time_limit

    if not 0 <= args.public_port <= 65535:
        parser.error("--public-port must be a port number")
    simulator = Simulator(args.state_dir, args.config_src, args.public_port)
    simulator.start()
    reason = "signal"
    while not stop.wait(0.25):
        if os.getppid() != parent:
            reason = "parent gone"
            break
        if time.monotonic() >= deadline:
            reason = "time limit"
            break
    sys.stderr.write("simulator: stopping (%s)\n" % reason)
    simulator.stop()
    # Handler threads may still sleep in a "slow" answer; they must not keep us alive.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
