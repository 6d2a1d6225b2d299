"""The two listeners: HTTPS for the trust center and the token endpoint, plain
HTTP for the pages a browser sees (and for where a redirect points).

Every connection is served by one worker thread; a failure inside a handler
becomes a 500 for that request and never reaches the listener. The TLS
handshake runs in the worker thread too, so a client that stalls or distrusts
the CA cannot hold up the others. Connections are kept alive (HTTP/1.1) until
the client closes them, 30 s pass without a request, or the control says to
close them.
"""

import json
import os
import re
import socket
import ssl
import sys
import time
import traceback
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import gate as gt
from . import hostile
from . import state as st

TOKEN_PATH = "/REST/v1/OAuth/GetAccessToken"
AUTH_CODE_PREFIX = "/REST/v1/OAuth/GetAuthCode/"
SETUP_PROGRAM = b"MZ simulated setup program of Korvex Ordiva\n"
START_PAGE = (b"<!DOCTYPE html><html><head><title>HIN</title></head>"
              b"<body><p>Login complete. You may close this window.</p></body></html>\n")

DROP = object()
IDLE_SECONDS = 30
REDIRECT_PREFIX = "/redirected"
REDIRECTED_PAGE = b"redirected here\n"


class Answer:
    def __init__(self, status, body=b"", content_type="text/plain; charset=utf-8", headers=()):
        self.status = status
        self.body = body if isinstance(body, bytes) else body.encode("utf-8")
        self.content_type = content_type
        self.headers = list(headers)


def _json_answer(status, value):
    return Answer(status, json.dumps(value), "application/json")


def _xml_answer(body):
    return Answer(200, body, "text/xml")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KorvexTrustCenterSimulator/1"

    def __init__(self, request, client_address, server, connection_number):
        # Set before the base class starts serving the connection.
        self.connection_number = connection_number
        self.answered = 0
        super().__init__(request, client_address, server)

    def do_GET(self):
        self._serve()

    def do_POST(self):
        self._serve()

    def do_PUT(self):
        self._serve()

    def do_DELETE(self):
        self._serve()

    def log_message(self, format, *args):
        pass  # requests.log is the record; stderr stays for real problems

    # --- one request ----------------------------------------------------------

    def _serve(self):
        sim = self.server.sim
        self.answered += 1
        entry = {"port": self.server.port_kind, "connection": self.connection_number,
                 "host": self.headers.get("Host"), "method": self.command, "path": self.path,
                 "authorization": self.headers.get("Authorization"),
                 "headers": [[k, v] for k, v in self.headers.items()],
                 "body_length": 0, "rpc_method": None, "rpc_params": None, "status": None}
        control = {}
        delay = 0
        try:
            body = self._read_body()
            entry["body_length"] = len(body)
            control = sim.state.control()
            answer, delay = self._answer(sim, body, entry, control)
        except st.ControlError as e:
            answer = Answer(500, str(e))
        except Exception:
            text = traceback.format_exc()
            sys.stderr.write("simulator: request %s %s failed:\n%s" % (self.command, self.path, text))
            answer = Answer(500, "simulator error:\n" + text)
            # The request may not have been read to its end: the stream is lost.
            self.close_connection = True
        entry["status"] = None if answer is DROP else answer.status
        sim.state.log_request(entry)
        if delay:
            time.sleep(delay)
        if answer is DROP:
            self._hang_up()
            return
        self.send_response(answer.status)
        self.send_header("Content-Type", answer.content_type)
        if not isinstance(answer, hostile.HugeAnswer):
            self.send_header("Content-Length", str(len(answer.body)))
        if control.get("close_header"):
            # Also makes the base class end the connection after this answer.
            self.send_header("Connection", "close")
        for name, value in answer.headers:
            self.send_header(name, value)
        try:
            self.end_headers()
            if isinstance(answer, hostile.HugeAnswer):
                answer.write(self.wfile)
            else:
                self.wfile.write(answer.body)
        except OSError:
            # The client hung up before the end, as one that bounds replies must.
            self._hang_up()
            return
        close_after = control.get("close_after", 0)
        if close_after and self.answered >= close_after:
            # No header says so: a client that reuses the connection finds it dead.
            self._hang_up()

    def _hang_up(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            parts = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(parts)
                parts.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def _answer(self, sim, body, entry, control):
        """(Answer, HugeAnswer or DROP, seconds to wait before sending it)."""
        path = urllib.parse.urlsplit(self.path).path
        method = None
        params = None
        if self.command == "POST" and path.startswith("/gate/"):
            try:
                method, params = gt.parse_call(body)
            except ValueError:
                method = None
            entry["rpc_method"] = method
            entry["rpc_params"] = _loggable(params) if params is not None else None
        needs_token = self.server.port_kind == "https" and path != TOKEN_PATH
        if needs_token and not sim.state.token_valid(_bearer(entry["authorization"]), control):
            return _unauthorized(), 0
        if self.server.port_kind == "https":
            redirect = control.get("redirect")
            if redirect and hostile.matches(redirect, method, path):
                location = "http://127.0.0.1:%d%s%s" % (sim.state.http_port, REDIRECT_PREFIX, self.path)
                return Answer(int(redirect.get("status", 302)), "", headers=[("Location", location)]), 0
            huge = control.get("huge_reply")
            if huge and hostile.matches(huge, method, path):
                return hostile.HugeAnswer(huge["bytes"], bool(huge.get("chunked"))), 0
        fault = sim.state.pick_fault(control, (method, path))
        if fault in ("http500", "http401", "garbled", "drop"):
            return _fault_answer(fault), 0
        if fault == "xmlrpc_fault" and method is not None:
            return _xml_answer(gt.reply(gt.SIMULATED_FAULT)), 0
        if fault == "wrong_shape" and method is not None:
            return _xml_answer(gt.reply(gt.wrong_shape(method))), 0
        if fault in ("http502", "http503", "http504"):
            return Answer(int(fault[4:]), "simulated gateway answer"), 0
        delay = float(control.get("slow_seconds", 5)) if fault == "slow" else 0
        if self.server.port_kind == "https":
            answer = self._https_route(sim, path, body, method, params, control)
        else:
            answer = self._http_route(sim, control)
        # The call did its work (an upload is stored); only its answer is lost.
        if fault == "stored_drop":
            return DROP, 0
        if fault == "stored_hang":
            return DROP, float(control.get("hang_seconds", 120))
        return answer, delay

    # --- HTTPS: trust center and token endpoint -------------------------------

    def _https_route(self, sim, path, body, method, params, control):
        fixture = sim.fixture
        if path == TOKEN_PATH:
            if self.command != "POST":
                return Answer(405, "POST only", headers=[("Allow", "POST")])
            return _token_endpoint(sim.state, body, control)
        match = re.fullmatch(r"/gate/([^/]+)(?:/(input|response))?/?", path)
        if match:
            if self.command != "POST":
                return Answer(405, "XML-RPC wants POST", headers=[("Allow", "POST")])
            center, service = match.group(1), match.group(2) or ""
            if center not in fixture.centers:
                return Answer(404, "no trust center %r" % center)
            if method is None:
                return _xml_answer(gt.reply(gt.Fault(gt.FAULT_BAD_PARAMS, "request is not an XML-RPC call")))
            return _xml_answer(gt.reply(sim.gate.call(center, service, method, params, control)))
        if self.command != "GET":
            return Answer(405, "GET only", headers=[("Allow", "GET")])
        data = _document(sim, path)
        if data is None:
            return Answer(404, "not found: " + path)
        return data

    # --- plain HTTP: what the browser sees ------------------------------------

    def _http_route(self, sim, control):
        split = urllib.parse.urlsplit(self.path)
        if split.path.startswith(REDIRECT_PREFIX):
            # Where the HTTPS listener's redirects point; the log shows what came.
            return Answer(200, REDIRECTED_PAGE)
        if self.command != "GET":
            return Answer(405, "GET only", headers=[("Allow", "GET")])
        if split.path == "/start":
            return Answer(200, START_PAGE, "text/html; charset=utf-8")
        if split.path.startswith(AUTH_CODE_PREFIX) and len(split.path) > len(AUTH_CODE_PREFIX):
            query = urllib.parse.parse_qs(split.query, keep_blank_values=True)
            redirect_uri = query.get("redirect_uri", [""])[0]
            client_id = query.get("client_id", [""])[0]
            if not redirect_uri or not client_id:
                return Answer(400, "redirect_uri and client_id are required")
            challenge = query.get("code_challenge", [None])[0]
            method = query.get("code_challenge_method", [None])[0]
            # Only S256 is offered: a challenge in any other form is refused,
            # and a method without a challenge is a broken request.
            if (challenge is None) != (method is None) or (method is not None and method != "S256"):
                return Answer(400, "code_challenge wants code_challenge_method=S256")
            if challenge is not None and not re.fullmatch(r"[A-Za-z0-9_-]{43}", challenge):
                return Answer(400, "code_challenge is not an S256 challenge")
            code = sim.state.issue_code(redirect_uri, client_id, challenge)
            state = query.get("state", [""])[0]
            separator = "&" if "?" in redirect_uri else "?"
            location = "%s%scode=%s&state=%s" % (redirect_uri, separator, code,
                                                 urllib.parse.quote(state, safe=""))
            return Answer(302, "", headers=[("Location", location)])
        return Answer(404, "not found: " + split.path)


def _bearer(header):
    if not header:
        return None
    scheme, _, token = header.partition(" ")
    return token if scheme.lower() == "bearer" else None


def _unauthorized():
    return Answer(401, json.dumps({"error": "invalid_token"}), "application/json",
                  headers=[("WWW-Authenticate", "Bearer")])


def _fault_answer(fault):
    if fault == "drop":
        return DROP
    if fault == "http401":
        return _unauthorized()
    if fault == "garbled":
        return Answer(200, gt.GARBLED_BODY, "text/xml")
    return Answer(500, "simulated internal server error")


def _document(sim, path):
    fixture = sim.fixture
    if path == "/download/config/korvex.xml":
        return Answer(200, fixture.config_for_port(sim.state.public_port), "text/xml")
    if path == "/download/" + fixture.package_name:
        return Answer(200, fixture.package_zip, "application/zip")
    if path == "/download/kxp-setup.exe":
        return Answer(200, SETUP_PROGRAM, "application/octet-stream")
    match = re.fullmatch(r"/download/(schemas|transformers)/([^/]+)", path)
    if match:
        name = match.group(2)
        if match.group(1) == "schemas" and name == "korvex.xsd":
            return Answer(200, fixture.config_schema, "text/xml")
        if name in fixture.package_files:
            return Answer(200, fixture.package_files[name], "text/xml")
        return None
    match = re.fullmatch(r"/certificates/([^/]+)\.crt", path)
    if match and match.group(1) in fixture.recipients:
        with open(os.path.join(sim.recipients_dir, match.group(1) + ".crt"), "rb") as f:
            return Answer(200, f.read(), "application/x-pem-file")
    return None


def _token_endpoint(state, body, control):
    form = urllib.parse.parse_qs(body.decode("utf-8", "replace"), keep_blank_values=True)

    def field(name):
        values = form.get(name)
        return values[0] if values else ""

    grant = field("grant_type")
    if not field("client_id"):
        return _json_answer(400, {"error": "invalid_client", "error_description": "client_id missing"})
    if grant == "authorization_code":
        verifier = form.get("code_verifier", [None])[0]
        if not state.redeem_code(field("code"), field("redirect_uri"), field("client_id"), verifier):
            return _json_answer(400, {"error": "invalid_grant",
                                      "error_description": "unknown or used code, another redirect_uri, "
                                                           "or a code_verifier that does not fit the code"})
    elif grant == "refresh_token":
        if not state.redeem_refresh_token(field("refresh_token")):
            return _json_answer(400, {"error": "invalid_grant", "error_description": "unknown refresh token"})
    else:
        return _json_answer(400, {"error": "unsupported_grant_type"})
    expires_in = int(control.get("expires_in", 3600))
    access, refresh = state.issue_tokens(expires_in)
    return _json_answer(200, {"access_token": access, "refresh_token": refresh, "expires_in": expires_in,
                              "token_type": "Bearer", "hin_id": control.get("hin_id", "dr.muster")})


def _loggable(params):
    """XML-RPC parameters as JSON: bytes (Base64 on the wire) by their length only."""
    def convert(value):
        if isinstance(value, bytes):
            return {"binary": len(value)}
        if isinstance(value, (list, tuple)):
            return [convert(v) for v in value]
        if isinstance(value, dict):
            return {k: convert(v) for k, v in value.items()}
        if isinstance(value, (str, int, float, bool)) or value is None:
            return value
        return str(value)
    return convert(list(params))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    # A kept-alive connection may idle for 30 s; stopping must not wait for it.
    block_on_close = False
    request_queue_size = 64

    def __init__(self, sim, port_kind, ssl_context=None):
        self.sim = sim
        self.port_kind = port_kind
        self.ssl_context = ssl_context
        super().__init__(("127.0.0.1", 0), Handler)

    def finish_request(self, request, client_address):
        # No client may hold a worker forever, not even one that never speaks.
        request.settimeout(IDLE_SECONDS)
        # An answer leaves in two writes (head, then body); without this the
        # body of every answer after the first on a connection would wait for
        # the client's delayed acknowledgement, some 40 ms, as no real server lets it.
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        counter = self.sim.connections
        if self.ssl_context is None:
            Handler(request, client_address, self, counter.accepted("http"))
            return
        try:
            tls = self.ssl_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            counter.handshake_failed()
            sys.stderr.write("simulator: TLS handshake with %s failed: %s\n" % (client_address, e))
            return
        try:
            Handler(tls, client_address, self, counter.accepted("https"))
        finally:
            tls.close()

    def handle_error(self, request, client_address):
        error = sys.exc_info()[1]
        # A client that hangs up between requests is no news.
        if isinstance(error, (ConnectionResetError, BrokenPipeError, ssl.SSLEOFError)):
            return
        sys.stderr.write("simulator: connection %s: %s\n" % (client_address, error))


def make_tls_context(cert_file, key_file):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert_file, key_file)
    return context
