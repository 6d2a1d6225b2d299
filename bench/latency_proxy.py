#!/usr/bin/env python3
"""A loopback TCP proxy that adds a round-trip time, for benchmarks.

    latency_proxy.py --rtt-ms MS (--target PORT | --target-file FILE)
                     [--port PORT] [--status-file FILE] [--parent-pid PID] [--time-limit S]

It listens on 127.0.0.1:PORT (0, the default: a free port) and forwards every
connection to 127.0.0.1:<target>. What it reads from one side at time t it
writes to the other at t + RTT/2, in the order read: every block is put on a
schedule as it arrives, so blocks that follow each other closely wait RTT/2
each, not RTT/2 after one another. The TCP handshake with the proxy itself is
made by the kernel at once; the delay starts with the first bytes.

--target-file names a file that holds the target port; it is read when the
first connection arrives, so the target may be started after the proxy (it
may need to know the proxy's port first).

When it listens it prints one JSON line, {"port": P, "pid": ...}, and writes
the status file ({"port": P, "connections": N}, replaced by renaming at every
accepted connection). It prints "connections N" when it ends: on SIGTERM or
SIGINT, after the time limit, or when the process that started it is gone.
"""

import argparse
import asyncio
import json
import os
import signal
import sys

BLOCK = 64 * 1024


class Proxy:
    def __init__(self, rtt_ms, target, target_file, status_file):
        self.half_rtt = rtt_ms / 2000.0
        self.target = target
        self.target_file = target_file
        self.status_file = status_file
        self.port = 0
        self.connections = 0

    def target_port(self):
        if not self.target:
            with open(self.target_file) as f:
                self.target = int(f.read().strip())
        return self.target

    def write_status(self):
        if not self.status_file:
            return
        tmp = self.status_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(json.dumps({"port": self.port, "connections": self.connections}) + "\n")
        os.replace(tmp, self.status_file)

    async def serve(self, client_reader, client_writer):
        self.connections += 1
        self.write_status()
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.target_port())
        except OSError as e:
            sys.stderr.write("latency_proxy: cannot reach the target: %s\n" % e)
            client_writer.close()
            return
        await asyncio.gather(self.pipe(client_reader, server_writer), self.pipe(server_reader, client_writer),
                             return_exceptions=True)
        for writer in (client_writer, server_writer):
            writer.close()

    async def pipe(self, reader, writer):
        """Copies one direction; each block leaves RTT/2 after it came in."""
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()

        async def deliver():
            while True:
                due, data = await queue.get()
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()

        delivery = asyncio.ensure_future(deliver())
        try:
            while True:
                data = await reader.read(BLOCK)
                queue.put_nowait((loop.time() + self.half_rtt, data or None))
                if not data:
                    break
            await delivery
        except (OSError, asyncio.IncompleteReadError):
            delivery.cancel()
            writer.close()


async def run(args):
    proxy = Proxy(args.rtt_ms, args.target, args.target_file, args.status_file)
    server = await asyncio.start_server(proxy.serve, "127.0.0.1", args.port)
    proxy.port = server.sockets[0].getsockname()[1]
    proxy.write_status()
    print(json.dumps({"port": proxy.port, "pid": os.getpid()}), flush=True)

    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    parent = args.parent_pid if args.parent_pid is not None else os.getppid()
    deadline = loop.time() + args.time_limit
    while not stop.is_set() and os.getppid() == parent and loop.time() < deadline:
        try:
            await asyncio.wait_for(stop.wait(), 0.25)
        except asyncio.TimeoutError:
            pass
    server.close()
    print("connections %d" % proxy.connections, flush=True)
    # Connections still open must neither hold the process nor be torn down
    # one by one with a complaint each.
    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rtt-ms", type=float, required=True)
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("--target", type=int)
    target.add_argument("--target-file")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--status-file")
    parser.add_argument("--parent-pid", type=int, default=None,
                        help="stop when this process is no longer the parent (default: the parent at start)")
    parser.add_argument("--time-limit", type=float, default=3600)
    args = parser.parse_args()
    if args.rtt_ms < 0:
        parser.error("--rtt-ms must not be negative")
    asyncio.run(run(args))


if __name__ == "__main__":
    main()
