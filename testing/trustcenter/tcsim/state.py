"""What one simulator run remembers: tokens, codes, sessions, the control file
that tests write and the request log that they read.

Every handler thread goes through one lock here; the simulator serves a test
at a time, so a single lock keeps it simple without costing anything.
"""

import base64
import hashlib
import hmac
import json
import os
import re
import secrets
import string
import threading
import time

# Accepted without any control file, so a test that only needs some token can
# install a fixed provider. Must stay equal to TrustCenterSim::kValidToken.
BUILTIN_TOKEN = "KorvexSimulatorBuiltInAccessToken0123456789abcdefghijklmnopq"
assert len(BUILTIN_TOKEN) == 60

FAULTS = ("none", "http500", "http401", "xmlrpc_fault", "garbled", "drop", "slow", "wrong_shape",
          "stored_drop", "stored_hang", "http502", "http503", "http504")

DEFAULT_MIN_VERSION = {"minDate": "2000-01-01", "minVer": "1.0.0"}

_ALPHABET = string.ascii_letters + string.digits


def pkce_challenge(verifier):
    """The S256 challenge of a PKCE verifier: base64url of its SHA-256, unpadded."""
    digest = hashlib.sha256(verifier.encode("ascii", "replace")).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def new_token(length=60):
    return "".join(secrets.choice(_ALPHABET) for _ in range(length))


class ControlError(Exception):
    """control.json cannot be used; every request answers 500 until it is fixed."""


def _write_atomic(path, data):
    # Hidden, so a reader listing the directory never takes it for a finished file.
    directory, name = os.path.split(path)
    tmp = os.path.join(directory, ".%s.tmp-%d" % (name, threading.get_ident()))
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


class State:
    def __init__(self, state_dir):
        self.state_dir = state_dir
        self.uploads_dir = os.path.join(state_dir, "uploads")
        self.responses_dir = os.path.join(state_dir, "responses")
        self.control_path = os.path.join(state_dir, "control.json")
        self.requests_log = os.path.join(state_dir, "requests.log")
        os.makedirs(self.uploads_dir, exist_ok=True)
        os.makedirs(self.responses_dir, exist_ok=True)
        self.lock = threading.Lock()
        self.https_port = 0
        self.http_port = 0
        # The port that served URLs name: the HTTPS port, or a proxy's in front of it.
        self.public_port = 0
        self._control_key = ()
        self._control = {}
        self._fault_counters = {}
        self._access_tokens = {}    # token -> expiry (monotonic seconds)
        self._refresh_tokens = set()
        self._codes = {}            # code -> (redirect_uri, client_id, PKCE challenge or None)
        self._sessions = {}         # session -> center
        self._upload_seq = 0
        self._log_fd = os.open(self.requests_log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)

    # --- control -----------------------------------------------------------

    def control(self):
        """The control in effect, read again for every request.

        Counting for "fault_every" and "fault_cycle" starts over whenever the
        file's content changes, so a test sees its own calls counted from one.
        """
        try:
            with open(self.control_path, "rb") as f:
                # Tests replace the file by renaming, so a new inode means a new
                # control even when the text is the same.
                info = os.fstat(f.fileno())
                raw = f.read()
            key = (info.st_ino, info.st_mtime_ns, raw)
        except FileNotFoundError:
            raw = b""
            key = None
        with self.lock:
            if key != self._control_key:
                self._control_key = key
                self._fault_counters = {}
                try:
                    parsed = json.loads(raw.decode("utf-8")) if raw.strip() else {}
                    if not isinstance(parsed, dict):
                        raise ValueError("not a JSON object")
                    _check_control(parsed)
                    self._control = parsed
                except (ValueError, UnicodeDecodeError) as e:
                    self._control = ControlError("control.json unusable: %s" % e)
            if isinstance(self._control, ControlError):
                raise self._control
            return self._control

    def pick_fault(self, control, key):
        """The fault this call gets ("none" when it passes), counting matching calls.

        key is the XML-RPC method name (or None) and the request path; a call
        matches when "fault_methods" is empty or names the method or a prefix
        of the path starting with "/".
        """
        method, path = key
        fault = control.get("fault", "none")
        cycle = control.get("fault_cycle")
        if fault == "none" and not cycle:
            return "none"
        methods = control.get("fault_methods") or []
        if methods:
            matches = any(m == method or (m.startswith("/") and path.startswith(m)) for m in methods)
        else:
            matches = method is not None
        if not matches:
            return "none"
        every = max(1, int(control.get("fault_every", 1)))
        with self.lock:
            seen = self._fault_counters.get("seen", 0) + 1
            self._fault_counters["seen"] = seen
            if seen % every != 0:
                return "none"
            if not cycle:
                return fault
            turn = self._fault_counters.get("cycle", 0)
            self._fault_counters["cycle"] = turn + 1
            return cycle[turn % len(cycle)]

    # --- observation -------------------------------------------------------

    def log_request(self, entry):
        line = (json.dumps(entry, ensure_ascii=False) + "\n").encode("utf-8")
        # One write on an O_APPEND descriptor: lines of parallel requests never interleave.
        os.write(self._log_fd, line)

    # --- OAuth -------------------------------------------------------------

    def issue_code(self, redirect_uri, client_id, challenge=None):
        """A new code; challenge is the S256 PKCE challenge the login was given, if any."""
        code = new_token(32)
        with self.lock:
            self._codes[code] = (redirect_uri, client_id, challenge)
        return code

    def redeem_code(self, code, redirect_uri, client_id, verifier=None):
        """True when the code was issued for this redirect and client; a code works once.

        A code issued with a PKCE challenge needs the verifier that matches
        it; one issued without needs none and takes none, so that a client
        cannot be talked out of PKCE by a code obtained without it.
        """
        with self.lock:
            issued = self._codes.pop(code, None)
        if issued is None or issued[:2] != (redirect_uri, client_id):
            return False
        challenge = issued[2]
        if challenge is None:
            return verifier is None
        return verifier is not None and hmac.compare_digest(pkce_challenge(verifier), challenge)

    def redeem_refresh_token(self, token):
        with self.lock:
            if token in self._refresh_tokens:
                self._refresh_tokens.discard(token)
                return True
            return False

    def issue_tokens(self, expires_in):
        access, refresh = new_token(), new_token()
        with self.lock:
            self._access_tokens[access] = time.monotonic() + expires_in
            self._refresh_tokens.add(refresh)
        return access, refresh

    def token_valid(self, token, control):
        if not token:
            return False
        if token == BUILTIN_TOKEN or token in (control.get("valid_tokens") or []):
            return True
        with self.lock:
            expiry = self._access_tokens.get(token)
        return expiry is not None and time.monotonic() < expiry

    # --- gate --------------------------------------------------------------

    def new_session(self, center):
        session = "sim-%s-%s" % (center, new_token(24))
        with self.lock:
            self._sessions[session] = center
        return session

    def session_open(self, session, center):
        with self.lock:
            return self._sessions.get(session) == center

    def close_session(self, session):
        with self.lock:
            self._sessions.pop(session, None)

    def store_upload(self, center, data):
        with self.lock:
            self._upload_seq += 1
            name = "%06d-%s.xml" % (self._upload_seq, center)
            # Written under the lock so uploads appear in the order of their numbers.
            _write_atomic(os.path.join(self.uploads_dir, name), data)
        return name

    def response_dirs(self):
        try:
            filters = sorted(os.listdir(self.responses_dir))
        except FileNotFoundError:
            return []
        return [f for f in filters if os.path.isdir(os.path.join(self.responses_dir, f))]

    def response_names(self, filter_name):
        try:
            names = sorted(os.listdir(os.path.join(self.responses_dir, filter_name)))
        except (FileNotFoundError, NotADirectoryError):
            return []
        return [n for n in names if not n.startswith(".")]

    def find_response(self, name):
        for filter_name in self.response_dirs():
            path = os.path.join(self.responses_dir, filter_name, name)
            if os.path.isfile(path):
                return path
        return None


def _check_control(control):
    fault = control.get("fault", "none")
    if fault not in FAULTS:
        raise ValueError("unknown fault %r" % (fault,))
    cycle = control.get("fault_cycle")
    if cycle is not None:
        if not isinstance(cycle, list) or not cycle or any(c not in FAULTS for c in cycle):
            raise ValueError("fault_cycle must be a non-empty list of faults")
    for key in ("fault_methods", "write_messages", "valid_tokens"):
        if key in control and not isinstance(control[key], list):
            raise ValueError("%s must be a list" % key)
    if "response_names" in control and not isinstance(control["response_names"], list):
        raise ValueError("response_names must be a list")
    for key in ("fault_every", "expires_in"):
        if key in control and (not isinstance(control[key], int) or isinstance(control[key], bool)):
            raise ValueError("%s must be an integer" % key)
    if "slow_seconds" in control and not isinstance(control["slow_seconds"], (int, float)):
        raise ValueError("slow_seconds must be a number")
    if "close_after" in control and (not _is_int(control["close_after"]) or control["close_after"] < 0):
        raise ValueError("close_after must be an integer of at least 0")
    if "close_header" in control and not isinstance(control["close_header"], bool):
        raise ValueError("close_header must be true or false")
    if "session_host" in control:
        host = control["session_host"]
        if not isinstance(host, str) or not _HOST_NAME.match(host):
            raise ValueError("session_host must be a host name")
    for key in ("redirect", "huge_reply"):
        if key in control:
            _check_rule(key, control[key])
    redirect = control.get("redirect")
    if redirect and redirect.get("status", 302) not in (301, 302, 303, 307, 308):
        raise ValueError("redirect status must be one of 301, 302, 303, 307, 308")
    huge = control.get("huge_reply")
    if huge is not None:
        if not _is_int(huge.get("bytes")) or huge["bytes"] < 0:
            raise ValueError("huge_reply bytes must be an integer of at least 0")
        if not isinstance(huge.get("chunked", False), bool):
            raise ValueError("huge_reply chunked must be true or false")


_HOST_NAME = re.compile(r"^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)*$")


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _check_rule(key, rule):
    """A rule that picks requests by "methods" and "paths" (lists of texts)."""
    if not isinstance(rule, dict):
        raise ValueError("%s must be an object" % key)
    for part in ("methods", "paths"):
        values = rule.get(part, [])
        if not isinstance(values, list) or any(not isinstance(v, str) for v in values):
            raise ValueError("%s %s must be a list of texts" % (key, part))
    if not rule.get("methods") and not rule.get("paths"):
        raise ValueError("%s names neither methods nor paths" % key)
