#!/usr/bin/python3
# A client of the Korvex server written with Gio alone, none of our code,
# holding one bus connection for the whole exchange: it creates an instance,
# reads korvexVersion, starts Auto, prints every korvexEvent until the send
# step (Auto's last) reports its completion, releases the instance and,
# still connected, waits for the server to leave the bus. With --interactive
# it sets the instance's "interactive" before the run (someone at the screen,
# as the monitor does); with --stay it ends once the instance is released,
# for a server that another client keeps.
#
# Run it with /usr/bin/python3: Gio comes from Debian's python3-gi and
# gir1.2-glib-2.0, which another interpreter (a pyenv shim) does not see.
#
# Output, one JSON object per line, in this order:
#   {"instance": PATH, "version": TEXT, "serverPid": PID, "interactiveBefore": B, "interactive": B}
#   {"event": {"level": .., "class": .., "origin": .., "code": .., "file": .., "message": ..}}  (each report)
#   {"released": PATH}
#   {"serverLeft": true}
# Exit status: 0 when all of it happened, 1 for a failed call or a server
# that left before the release (the reason on stderr), 2 when a time limit
# passed first: --limit for the run, --leave-limit for the server's leaving.

import argparse
import json
import sys

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

BUS_NAME = "ch.belmor.Korvex"
FACTORY_PATH = "/ch/belmor/Korvex"
FACTORY = "ch.belmor.Korvex.Factory"
IKORVEX = "ch.belmor.Korvex.IKorvex"

# A run of Auto is over at the completion report (class mcModule, code 1) of
# its last step, the sender.
MODULE_CLASS = 2
COMPLETED = 1
SENDER_ORIGIN = 4


def emit(record):
    print(json.dumps(record, ensure_ascii=False), flush=True)


def call(connection, path, interface, method, args=None, reply=None):
    return connection.call_sync(BUS_NAME, path, interface, method, args,
                                GLib.VariantType(reply) if reply else None,
                                Gio.DBusCallFlags.NONE, -1, None)


class Peer:
    def __init__(self, connection, limit, leave_limit, interactive=False, stay=False):
        self.connection = connection
        self.interactive = interactive
        self.stay = stay
        self.loop = GLib.MainLoop()
        self.status = 0
        self.path = None
        self.owner = None
        self.released = False
        self.leave_limit = leave_limit
        self.timer = GLib.timeout_add_seconds(limit, self.on_timeout)

    def fail(self, status, text):
        print("foreign_peer: " + text, file=sys.stderr, flush=True)
        self.status = status
        self.loop.quit()

    def on_timeout(self):
        what = "leaving of the server" if self.released else "end of the run"
        self.fail(2, "no " + what + " within the time limit")
        return GLib.SOURCE_REMOVE

    def bus_call(self, method, name, reply):
        return self.connection.call_sync(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
            GLib.Variant("(s)", (name,)), GLib.VariantType(reply), Gio.DBusCallFlags.NONE, -1,
            None).unpack()[0]

    def run(self):
        self.path = call(self.connection, FACTORY_PATH, FACTORY, "CreateInstance", reply="(o)").unpack()[0]
        # The instance lives in the process that answered; its leaving is
        # what ends the exchange.
        self.owner = self.bus_call("GetNameOwner", BUS_NAME, "(s)")
        version = self.get("korvexVersion")
        interactive_before = self.get("interactive")
        if self.interactive:
            call(self.connection, self.path, "org.freedesktop.DBus.Properties", "Set",
                 GLib.Variant("(ssv)", (IKORVEX, "interactive", GLib.Variant("b", True))))
        emit({"instance": self.path, "version": version,
              "serverPid": self.bus_call("GetConnectionUnixProcessID", self.owner, "(u)"),
              "interactiveBefore": interactive_before, "interactive": self.get("interactive")})

        # Subscribed before the run starts, so its first report is not missed.
        self.connection.signal_subscribe(self.owner, IKORVEX, "korvexEvent", self.path, None,
                                         Gio.DBusSignalFlags.NONE, self.on_event)
        self.connection.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                                         "/org/freedesktop/DBus", BUS_NAME, Gio.DBusSignalFlags.NONE,
                                         self.on_owner_changed)
        self.connection.call(BUS_NAME, self.path, IKORVEX, "Auto", None, None, Gio.DBusCallFlags.NONE, -1,
                             None, self.on_auto_answered)
        self.loop.run()
        return self.status

    def get(self, name):
        return call(self.connection, self.path, "org.freedesktop.DBus.Properties", "Get",
                    GLib.Variant("(ss)", (IKORVEX, name)), "(v)").unpack()[0]

    def on_auto_answered(self, connection, result):
        try:
            connection.call_finish(result)
        except GLib.Error as error:
            self.fail(1, "Auto: " + error.message)

    def on_event(self, connection, sender, path, interface, signal, parameters):
        if self.released:
            return
        level, mclass, origin, code, file_name, message = parameters.unpack()
        emit({"event": {"level": level, "class": mclass, "origin": origin, "code": code,
                        "file": file_name, "message": message}})
        if mclass == MODULE_CLASS and code == COMPLETED and origin == SENDER_ORIGIN:
            self.release()

    def release(self):
        try:
            call(self.connection, self.path, IKORVEX, "Release")
        except GLib.Error as error:
            self.fail(1, "Release: " + error.message)
            return
        self.released = True
        emit({"released": self.path})
        if self.stay:
            self.loop.quit()
            return
        GLib.source_remove(self.timer)
        self.timer = GLib.timeout_add_seconds(self.leave_limit, self.on_timeout)
        if not self.owner_present():
            self.server_left()

    def owner_present(self):
        try:
            return self.bus_call("GetNameOwner", BUS_NAME, "(s)") == self.owner
        except GLib.Error:
            return False

    def on_owner_changed(self, connection, sender, path, interface, signal, parameters):
        name, old_owner, new_owner = parameters.unpack()
        if name != BUS_NAME or old_owner != self.owner:
            return
        if not self.released:
            self.fail(1, "the server left the bus before the instance was released")
            return
        self.server_left()

    def server_left(self):
        if self.status == 0 and self.loop.is_running():
            emit({"serverLeft": True})
            self.loop.quit()


def main():
    # Report texts are German or French: UTF-8 whatever the locale.
    sys.stdout.reconfigure(encoding="utf-8")
    parser = argparse.ArgumentParser(description="Drives one Auto run of the Korvex server over Gio.")
    parser.add_argument("--limit", type=int, default=300,
                        help="seconds the run may take (default 300)")
    parser.add_argument("--leave-limit", type=int, default=30,
                        help="seconds the server may take to leave after the release (default 30)")
    parser.add_argument("--interactive", action="store_true",
                        help="set the instance's interactive property before the run")
    parser.add_argument("--stay", action="store_true",
                        help="end after the release, without waiting for the server to leave")
    options = parser.parse_args()
    try:
        connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        return Peer(connection, options.limit, options.leave_limit, options.interactive, options.stay).run()
    except GLib.Error as error:
        print("foreign_peer: " + error.message, file=sys.stderr, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
