"""The gates: session and version service, input gate and response gate, over XML-RPC.

A gate URL is /gate/<center> for the session and version service, with
"/input" or "/response" appended for the other two. Parameters are checked
by kind, so a client that sends, say, the confirm flag as an integer gets a
fault instead of a silent success.
"""

import os
import re
import xmlrpc.client
from xmlrpc.client import Binary, Fault

from . import state as st

FAULT_UNKNOWN_METHOD = 1
FAULT_BAD_PARAMS = 2
FAULT_UNKNOWN_SESSION = 1001
FAULT_NO_SUCH_RESPONSE = 1002
SIMULATED_FAULT = Fault(4711, "simulated fault <b>&amp;</b>")

# Ends in the middle of a reply, then bytes no XML parser accepts.
GARBLED_BODY = (b"<?xml version=\"1.0\"?>\n<methodResponse><params><param><value><struct>"
                b"<member><name>session</name><value><string>garbled\x00\xff\xfe<<")

_SAFE_NAME = re.compile(r"^[^/\\\x00]+$")


def parse_call(body):
    """(method, params) of a request, or raises ValueError when it is not one."""
    try:
        params, method = xmlrpc.client.loads(body, use_builtin_types=True)
    except Exception as e:  # expat and xmlrpc raise many kinds; all mean "not a call"
        raise ValueError("not an XML-RPC call: %s" % e) from e
    if not method:
        raise ValueError("not an XML-RPC call: no methodName")
    return method, params


def reply(value):
    if isinstance(value, Fault):
        return xmlrpc.client.dumps(value, methodresponse=True, encoding="utf-8").encode("utf-8")
    return xmlrpc.client.dumps((value,), methodresponse=True, encoding="utf-8").encode("utf-8")


def wrong_shape(method):
    """An answer of the wrong shape for method: the wrong member count or kind."""
    if method == "korvex.session.new":
        return {"session": "s", "url": "u", "url2": "u2", "extra": "x"}
    if method == "korvex.queryminversion":
        return {"minDate": "2000-01-01", "minVer": "1.0.0", "extra": "x"}
    if method == "korvex.querynewversion2":
        return {"currentVersion": "5.0.0", "url": "u"}
    if method in ("korvex.inputgate.write2", "korvex.inputgate.write",
                  "korvex.responsegate.enum", "korvex.responsegate.enum2"):
        return {"unexpected": "a struct where an array belongs"}
    if method == "korvex.responsegate.read":
        return ["a list where a text belongs"]
    return {"unexpected": "shape"}


def _check(method, params, kinds):
    if len(params) != len(kinds) or any(type(p) is not k for p, k in zip(params, kinds)):
        got = ", ".join(type(p).__name__ for p in params)
        want = ", ".join(k.__name__ for k in kinds)
        raise Fault(FAULT_BAD_PARAMS, "%s expects (%s), got (%s)" % (method, want, got))


def _check_name(kind, name):
    if not _SAFE_NAME.match(name) or name in (".", ".."):
        raise Fault(FAULT_BAD_PARAMS, "bad %s name %r" % (kind, name))


def _as_xmlrpc_text(data):
    """The stored bytes as a String when XML can carry them as text, else as Base64."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return Binary(data)
    if re.search("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]", text):
        return Binary(data)
    return text


class Gate:
    def __init__(self, state):
        self.state = state
        self._services = {
            "": {
                "korvex.session.new": self._session_new,
                "korvex.session.close": self._session_close,
                "korvex.queryminversion": self._query_min_version,
                "korvex.querynewversion2": self._query_new_version,
            },
            "input": {
                "korvex.inputgate.write2": self._write2,
                "korvex.inputgate.write": self._write,
            },
            "response": {
                "korvex.responsegate.enum": self._enum,
                "korvex.responsegate.enum2": self._enum2,
                "korvex.responsegate.read": self._read,
            },
        }

    def call(self, center, service, method, params, control):
        """The method's result, or the Fault it answers."""
        handler = self._services.get(service, {}).get(method)
        if handler is None:
            return Fault(FAULT_UNKNOWN_METHOD, "method %s is not served at this gate URL" % method)
        try:
            return handler(center, params, control)
        except Fault as f:
            return f

    # --- session and version service ----------------------------------------

    def _session_new(self, center, params, control):
        _check("korvex.session.new", params, (str, str, str))
        if params[2] != "InputGate":
            raise Fault(FAULT_BAD_PARAMS, "unknown service %r" % params[2])
        # Another host name still reaches this simulator: every *.localhost is loopback.
        host = control.get("session_host", "localhost")
        base = "http://%s:%d/gate/%s" % (host, self.state.public_port, center)
        # "input_port": an input gate that cannot be reached, the rest as usual.
        write = "http://%s:%d/gate/%s" % (host, control.get("input_port", self.state.public_port), center)
        return {"session": self.state.new_session(center), "url": write + "/input",
                "url2": base + "/response"}

    def _session_close(self, center, params, control):
        _check("korvex.session.close", params, (str,))
        self.state.close_session(params[0])
        return True

    def _query_min_version(self, center, params, control):
        _check("korvex.queryminversion", params, ())
        return control.get("min_version", st.DEFAULT_MIN_VERSION)

    def _query_new_version(self, center, params, control):
        _check("korvex.querynewversion2", params, (str, str, str, str))
        default = {"currentVersion": "5.0.0",
                   "url": "http://localhost:%d/download/kxp-setup.exe" % self.state.public_port,
                   "info": "Korvex Ordiva 5.0.0"}
        return control.get("new_version", default)

    # --- input gate -----------------------------------------------------------

    def _store(self, center, session, data, control):
        if not self.state.session_open(session, center):
            raise Fault(FAULT_UNKNOWN_SESSION, "unknown session %r" % session)
        self.state.store_upload(center, data)
        return control.get("write_messages", [])

    def _write2(self, center, params, control):
        _check("korvex.inputgate.write2", params, (str, bytes))
        return self._store(center, params[0], params[1], control)

    def _write(self, center, params, control):
        _check("korvex.inputgate.write", params, (str, str))
        return self._store(center, params[0], params[1].encode("utf-8"), control)

    # --- response gate --------------------------------------------------------

    def _enum(self, center, params, control):
        _check("korvex.responsegate.enum", params, (str, str))
        if "response_names" in control:
            return control["response_names"]
        return [n for f in self.state.response_dirs() for n in self.state.response_names(f)]

    def _enum2(self, center, params, control):
        _check("korvex.responsegate.enum2", params, (str, str, str))
        if "response_names" in control:
            return control["response_names"]
        _check_name("filter", params[2])
        return self.state.response_names(params[2])

    def _read(self, center, params, control):
        _check("korvex.responsegate.read", params, (str, str, str, bool))
        name, confirm = params[2], params[3]
        _check_name("response", name)
        path = self.state.find_response(name)
        if path is None:
            raise Fault(FAULT_NO_SUCH_RESPONSE, "no response %r" % name)
        with open(path, "rb") as f:
            data = f.read()
        if confirm:
            try:
                os.remove(path)
            except FileNotFoundError:
                pass  # a parallel confirm got there first; the answer is the same
        return _as_xmlrpc_text(data)
