#!/usr/bin/python3
# A client of the Korvex server written with Gio alone, none of our code: it
# creates an instance and puts settings through org.freedesktop.DBus.Properties
# as fast as the server answers, each put waiting for its answer.
#
#   settings_burst.py COUNT MODE
#
# Put i (0 <= i < COUNT) sets zsrDownFilter to "F<i>", debug to i % 2 == 1
# and asasLogin to "dr.<i>"; so the last values are those of i = COUNT - 1.
# Then MODE "release" releases the instance and ends; MODE "hold" keeps it
# and the connection until the process is killed.
#
# Output: {"instance": PATH} first, {"done": COUNT} after the last put.
# Exit status 1 for a failed call (the reason on stderr).
#
# Run it with /usr/bin/python3: Gio comes from Debian's python3-gi.

import json
import sys
import time

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

BUS_NAME = "ch.belmor.Korvex"
IKORVEX = "ch.belmor.Korvex.IKorvex"


def call(connection, path, interface, method, args=None, reply=None):
    return connection.call_sync(BUS_NAME, path, interface, method, args,
                                GLib.VariantType(reply) if reply else None,
                                Gio.DBusCallFlags.NONE, 25000, None)


def put(connection, path, name, value):
    call(connection, path, "org.freedesktop.DBus.Properties", "Set",
         GLib.Variant("(ssv)", (IKORVEX, name, value)))


def main():
    count, mode = int(sys.argv[1]), sys.argv[2]
    connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    try:
        (path,) = call(connection, "/ch/belmor/Korvex", "ch.belmor.Korvex.Factory", "CreateInstance",
                       reply="(o)").unpack()
        print(json.dumps({"instance": path}), flush=True)
        for i in range(count):
            put(connection, path, "zsrDownFilter", GLib.Variant("s", "F%d" % i))
            put(connection, path, "debug", GLib.Variant("b", i % 2 == 1))
            put(connection, path, "asasLogin", GLib.Variant("s", "dr.%d" % i))
        print(json.dumps({"done": count}), flush=True)
        if mode == "release":
            call(connection, path, IKORVEX, "Release")
            return 0
    except GLib.Error as error:
        print(error.message, file=sys.stderr)
        return 1
    while True:
        time.sleep(60)


if __name__ == "__main__":
    sys.exit(main())
