#!/usr/bin/env python3
"""Stands in for the user's browser during the HIN login (KORVEX_BROWSER).

    browser.py LOGIN-URL
    browser.py PAGE-FILE

It opens the login page without following its redirect, then takes the
redirect to the client's loopback listener itself, like a user who logs in.
Given a file instead of a URL, it reads the login URL from the file's
<meta http-equiv="refresh"> first, as a browser would; the file is read
before the command returns, since the client removes it once the login ends.
The caller does not wait for browsers, so the work happens in a detached
child and the command returns at once.

KORVEX_SIM_BROWSER_MODE: "" logs in; "wrong-state" hands the listener another
state; "no-code" leaves the code out; "foreign-code" hands the listener, with
the right state, a code that the login page issued for another login (one
without the client's PKCE challenge); "none" does nothing (a user who never
logs in). KORVEX_SIM_BROWSER_LOG: a file that gets one JSON line per run.
"""

import html
import http.client
import json
import os
import re
import stat
import sys
import time
import urllib.parse

PKCE_KEYS = ("code_challenge", "code_challenge_method")
REFRESH = re.compile(r'<meta http-equiv="refresh" content="0;url=([^"]*)">')

LISTENER_ATTEMPTS = 20
LISTENER_PAUSE = 0.1


def get(url, attempts=1):
    """(status, Location header or None) of one GET that does not follow redirects."""
    parts = urllib.parse.urlsplit(url)
    target = (parts.path or "/") + ("?" + parts.query if parts.query else "")
    for attempt in range(attempts):
        connection = http.client.HTTPConnection(parts.hostname, parts.port or 80, timeout=10)
        try:
            connection.request("GET", target, headers={"User-Agent": "KorvexSimulatorBrowser/1"})
            response = connection.getresponse()
            response.read()
            return response.status, response.getheader("Location")
        except (ConnectionRefusedError, ConnectionResetError):
            if attempt + 1 == attempts:
                raise
            time.sleep(LISTENER_PAUSE)
        finally:
            connection.close()


def tamper(location, mode):
    parts = urllib.parse.urlsplit(location)
    query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
    if mode == "no-code":
        query = [(k, v) for k, v in query if k != "code"]
    elif mode == "wrong-state":
        query = [(k, str(int(v) + 1) if v.isdigit() else "4242") if k == "state" else (k, v)
                 for k, v in query]
    return urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(query)))


def without_pkce(url):
    parts = urllib.parse.urlsplit(url)
    query = [(k, v) for k, v in urllib.parse.parse_qsl(parts.query, keep_blank_values=True) if k not in PKCE_KEYS]
    return urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(query)))


def read_page(path, record):
    """The login URL of a page file, recording what the file looked like."""
    info = os.stat(path)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    record.update(page=path, page_mode="%o" % stat.S_IMODE(info.st_mode), page_text=text)
    found = REFRESH.search(text)
    return html.unescape(found.group(1)) if found else None


def run(url, mode, record):
    status, location = get(without_pkce(url) if mode == "foreign-code" else url)
    record.update(login_status=status, location=location)
    if status not in (301, 302, 303, 307) or not location:
        return
    if mode in ("no-code", "wrong-state"):
        location = tamper(location, mode)
    record["listener_url"] = location
    status, after = get(location, LISTENER_ATTEMPTS)
    record.update(listener_status=status, listener_location=after)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: browser.py URL|PAGE-FILE\n")
        return 2
    url = sys.argv[1]
    mode = os.environ.get("KORVEX_SIM_BROWSER_MODE", "")
    log = os.environ.get("KORVEX_SIM_BROWSER_LOG", "")
    record = {"url": url, "mode": mode}
    if "://" not in url:
        try:
            record["url"] = url = read_page(url, record)
        except OSError as e:
            record["error"] = "%s: %s" % (type(e).__name__, e)
            url = None
    if os.fork() != 0:
        return 0
    # Detached: a new session, no terminal, nothing held open that the caller may wait on.
    os.setsid()
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)
    try:
        if mode != "none" and url:
            run(url, mode, record)
    except Exception as e:  # whatever went wrong is the record's last word
        record["error"] = "%s: %s" % (type(e).__name__, e)
    if log:
        with open(log, "a") as f:
            f.write(json.dumps(record) + "\n")
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
