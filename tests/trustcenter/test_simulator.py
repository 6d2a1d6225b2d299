"""The test trust center as a client sees it: downloads, gates, the HIN OAuth
service, every fault of control.json, the browser stand-in and the ways the
simulator ends. Python's own HTTP and XML-RPC clients talk to it, so these
checks do not lean on the product's transport code.
"""

import html
import http.client
import http.server
import io
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import xml.etree.ElementTree as ET
import xmlrpc.client
import zipfile
from xmlrpc.client import Binary, Fault

SOURCE_DIR = os.environ.get("KORVEX_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
SIM_DIR = os.path.join(SOURCE_DIR, "testing", "trustcenter")
SIMULATOR = os.path.join(SIM_DIR, "simulator.py")
BROWSER = os.path.join(SIM_DIR, "browser.py")
FIXTURE = os.path.join(SIM_DIR, "config")
TOKEN = "KorvexSimulatorBuiltInAccessToken0123456789abcdefghijklmnopq"
TOKEN_PATH = "/REST/v1/OAuth/GetAccessToken"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wait_for_line(path, seconds=10):
    """Waits until the file holds a whole line: the browser stand-in creates
    its log before it writes its line into it."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path) and read(path).endswith(b"\n"):
            return
        time.sleep(0.02)


class Sim:
    """One simulator process in a temporary directory of its own."""

    def __init__(self, *extra):
        self.dir = tempfile.mkdtemp(prefix="korvex-sim-test-")
        # Output goes to a file: a pipe nobody reads could fill up and stall the simulator.
        self.output_file = open(os.path.join(self.dir, "simulator.out"), "wb")
        self.proc = subprocess.Popen([sys.executable, SIMULATOR, "--state-dir", self.dir] + list(extra),
                                     stdout=self.output_file, stderr=subprocess.STDOUT)
        self.info = self._wait_ready()
        self.port = self.info["https_port"]
        self.http_port = self.info["http_port"]
        self.context = ssl.create_default_context(cafile=self.info["ca_file"])

    def _wait_ready(self):
        path = os.path.join(self.dir, "sim.json")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if os.path.exists(path):
                return json.loads(read(path))
            if self.proc.poll() is not None:
                raise RuntimeError("simulator ended: " + read(self.output_file.name).decode(errors="replace"))
            time.sleep(0.02)
        raise RuntimeError("simulator not ready")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.output_file.close()
        if os.environ.get("KORVEX_SIM_TEST_SHOW_OUTPUT"):
            sys.stderr.write(read(self.output_file.name).decode(errors="replace"))
        shutil.rmtree(self.dir, ignore_errors=True)

    def control(self, **values):
        tmp = os.path.join(self.dir, "control.json.tmp")
        with open(tmp, "w") as f:
            json.dump(values, f)
        os.replace(tmp, os.path.join(self.dir, "control.json"))

    def log(self):
        return [json.loads(line) for line in read(self.info["requests_log"]).splitlines()]

    def counts(self):
        return json.loads(read(self.info["connections_file"]))

    def output(self):
        """What the simulator printed so far."""
        return read(self.output_file.name).decode(errors="replace")

    def connection(self, host="oauth2.localhost"):
        return LoopbackHTTPS(host, self.port, context=self.context, timeout=20)

    def request(self, method, path, body=None, token=TOKEN, headers=None):
        """(status, headers, body) of one HTTPS request to "oauth2.localhost"."""
        connection = self.connection()
        all_headers = dict(headers or {})
        if token:
            all_headers["Authorization"] = "Bearer " + token
        try:
            connection.request(method, path, body=body, headers=all_headers)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def rpc(self, url, token=TOKEN):
        """A proxy for a configured gate URL, rewritten the way the product rewrites it."""
        assert url.startswith("http://")
        return xmlrpc.client.ServerProxy("https://oauth2." + url[len("http://"):],
                                         transport=LoopbackTransport(self.context, token),
                                         use_builtin_types=True)

    def gate(self, center="nord"):
        return self.rpc("http://localhost:%d/gate/%s" % (self.port, center))

    def add_response(self, filter_name, name, data):
        directory = os.path.join(self.info["responses_dir"], filter_name)
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)

    def uploads(self):
        d = self.info["uploads_dir"]
        return {n: read(os.path.join(d, n)) for n in sorted(os.listdir(d)) if not n.startswith(".")}

    def login_url(self, redirect_uri, state="12", client_id="ch.korvex.ordivaclient", **extra):
        """The login page's URL; extra adds query fields (the PKCE challenge)."""
        query = "response_type=code&client_id=%s&redirect_uri=%s&state=%s" % (
            client_id, urllib.parse.quote(redirect_uri, safe=""), state)
        if extra:
            query += "&" + urllib.parse.urlencode(extra)
        return "http://localhost:%d/REST/v1/OAuth/GetAuthCode/korvex_inputgate?%s" % (self.http_port, query)

    def login(self, redirect_uri="http://localhost:4711/", state="12", client_id="ch.korvex.ordivaclient", **extra):
        """(status, Location) of the login page."""
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=10)
        try:
            parts = urllib.parse.urlsplit(self.login_url(redirect_uri, state, client_id, **extra))
            connection.request("GET", parts.path + "?" + parts.query)
            response = connection.getresponse()
            response.read()
            return response.status, response.getheader("Location")
        finally:
            connection.close()

    def token(self, **form):
        status, _, body = self.request("POST", TOKEN_PATH, urllib.parse.urlencode(form), token=None,
                                       headers={"Content-Type": "application/x-www-form-urlencoded"})
        return status, json.loads(body)

    def code(self, redirect_uri="http://localhost:4711/", **extra):
        _, location = self.login(redirect_uri, **extra)
        return urllib.parse.parse_qs(urllib.parse.urlsplit(location).query)["code"][0]


class LoopbackHTTPS(http.client.HTTPSConnection):
    """Reaches "<name>.localhost" on 127.0.0.1 (as libcurl does) while TLS checks the name."""

    def connect(self):
        sock = socket.create_connection(("127.0.0.1", self.port), self.timeout)
        self.sock = self._context.wrap_socket(sock, server_hostname=self.host)


class LoopbackTransport(xmlrpc.client.SafeTransport):
    def __init__(self, context, token):
        headers = [("Authorization", "Bearer " + token)] if token else []
        super().__init__(use_builtin_types=True, context=context, headers=headers)

    def request(self, host, handler, request_body, verbose=False):
        # One attempt only: the stock transport repeats a call whose connection
        # dropped, which would hide "drop" and upset the fault counting. One
        # connection per call, closed after it, as the product's client makes them.
        try:
            return self.single_request(host, handler, request_body, verbose)
        finally:
            self.close()

    def make_connection(self, host):
        name, _, port = host.partition(":")
        self._connection = host, LoopbackHTTPS(name, int(port), context=self.context, timeout=20)
        return self._connection[1]


class SimTestCase(unittest.TestCase):
    """One simulator for the whole class; each test starts from an empty control."""

    @classmethod
    def setUpClass(cls):
        cls.sim = Sim()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def setUp(self):
        self.sim.control()


class DownloadTest(SimTestCase):
    def test_configuration_carries_the_simulator_port_and_stays_valid_xml(self):
        status, headers, body = self.sim.request("GET", "/download/config/korvex.xml")
        self.assertEqual(status, 200)
        self.assertNotIn(b"localhost:8443", body)
        root = ET.fromstring(body)
        self.assertEqual(root.get("url_down"), "http://localhost:%d/download" % self.sim.port)
        self.assertEqual(root.get("url_cert"), "http://localhost:%d/certificates" % self.sim.port)
        urls = [c.get("url") for c in root.iter("center")]
        self.assertEqual(urls, ["http://localhost:%d/gate/nord" % self.sim.port,
                                "http://localhost:%d/gate/sued" % self.sim.port])
        # Everything but the port is the fixture's text.
        self.assertEqual(body.replace(b"localhost:%d" % self.sim.port, b"localhost:8443"),
                         read(os.path.join(FIXTURE, "korvex.xml")))

    def test_package_keeps_its_directories_and_the_fixture_bytes(self):
        status, _, body = self.sim.request("GET", "/download/kx-schemas.zip")
        self.assertEqual(status, 200)
        with zipfile.ZipFile(io.BytesIO(body)) as archive:
            names = archive.namelist()
            self.assertIn("schemas/common/", names)
            self.assertIn("schemas/common/invoice-types.xsd", names)
            for name in names:
                if not name.endswith("/"):
                    self.assertEqual(archive.read(name), read(os.path.join(FIXTURE, "package", name)), name)
        files = [n for n in names if not n.endswith("/")]
        fixture_files = [os.path.relpath(os.path.join(d, f), os.path.join(FIXTURE, "package"))
                         for d, _, fs in os.walk(os.path.join(FIXTURE, "package")) for f in fs]
        self.assertEqual(sorted(files), sorted(fixture_files))

    def test_single_documents_by_bare_name(self):
        cases = [
            ("/download/schemas/korvex.xsd", os.path.join(FIXTURE, "korvex.xsd")),
            ("/download/schemas/invoice-types.xsd", os.path.join(FIXTURE, "package/schemas/common/invoice-types.xsd")),
            ("/download/transformers/transform-1.0.xsl", os.path.join(FIXTURE, "package/stylesheets/transform-1.0.xsl")),
            ("/certificates/tcsued-a.crt", os.path.join(self.sim.info["recipients_dir"], "tcsued-a.crt")),
        ]
        for path, source in cases:
            with self.subTest(path=path):
                status, _, body = self.sim.request("GET", path)
                self.assertEqual((status, body), (200, read(source)))
        for path in ("/download/schemas/missing.xsd", "/certificates/nobody.crt", "/download/config/other.xml",
                     "/download/schemas/../korvex.xml", "/elsewhere"):
            with self.subTest(path=path):
                self.assertEqual(self.sim.request("GET", path)[0], 404)

    def test_every_trust_center_request_needs_a_valid_bearer_token(self):
        cases = [
            ("no header", {}),
            ("another token", {"Authorization": "Bearer " + "x" * 60}),
            ("the token cut short", {"Authorization": "Bearer " + TOKEN[:41]}),
            ("another scheme", {"Authorization": "Basic " + TOKEN}),
        ]
        for label, headers in cases:
            for method, path in (("GET", "/download/config/korvex.xml"), ("POST", "/gate/nord")):
                with self.subTest(label=label, path=path):
                    status, answer_headers, _ = self.sim.request(method, path, b"", token=None, headers=headers)
                    self.assertEqual(status, 401)
                    self.assertEqual(answer_headers.get("WWW-Authenticate"), "Bearer")
        self.sim.control(valid_tokens=["preloaded-token-from-a-test"])
        self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd", token="preloaded-token-from-a-test")[0], 200)

    def test_tls_serves_both_host_names_and_only_with_the_test_ca(self):
        for host in ("oauth2.localhost", "localhost"):
            with self.subTest(host=host):
                connection = self.sim.connection(host)
                connection.request("GET", "/download/schemas/korvex.xsd", headers={"Authorization": "Bearer " + TOKEN})
                self.assertEqual(connection.getresponse().status, 200)
                connection.close()
        stranger = LoopbackHTTPS("oauth2.localhost", self.sim.port, context=ssl.create_default_context(), timeout=10)
        with self.assertRaises(ssl.SSLCertVerificationError):
            stranger.request("GET", "/")
        wrong_name = LoopbackHTTPS("trust.example", self.sim.port, context=self.sim.context, timeout=10)
        with self.assertRaises(ssl.SSLCertVerificationError):
            wrong_name.request("GET", "/")
        # The failed handshakes cost the simulator nothing.
        self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd")[0], 200)

    def test_request_log_records_each_request_as_received(self):
        before = len(self.sim.log())
        self.sim.request("POST", "/gate/nord", b"<not-rpc/>", headers={"Content-type": "text/xml", "Accept": "*/*"})
        self.sim.gate().korvex.queryminversion()
        self.sim.request("GET", "/download/schemas/korvex.xsd", token=None)
        entries = self.sim.log()[before:]
        self.assertEqual(len(entries), 3)
        first = entries[0]
        self.assertEqual((first["port"], first["method"], first["path"], first["body_length"], first["rpc_method"]),
                         ("https", "POST", "/gate/nord", 10, None))
        self.assertEqual(first["authorization"], "Bearer " + TOKEN)
        names = [h[0] for h in first["headers"]]
        self.assertLess(names.index("Content-type"), names.index("Accept"))
        self.assertEqual((entries[1]["rpc_method"], entries[1]["rpc_params"], entries[1]["status"]),
                         ("korvex.queryminversion", [], 200))
        self.assertEqual((entries[2]["authorization"], entries[2]["status"]), (None, 401))


class GateTest(SimTestCase):
    def test_session_upload_and_close_round_trip(self):
        gate = self.sim.gate("sued")
        session = gate.korvex.session.new("korvex", "ordiva", "InputGate")
        self.assertEqual(set(session), {"session", "url", "url2"})
        self.assertEqual(session["url"], "http://localhost:%d/gate/sued/input" % self.sim.port)
        self.assertEqual(session["url2"], "http://localhost:%d/gate/sued/response" % self.sim.port)
        before = set(self.sim.uploads())
        messages = [[1, 2, 5, 17, "invoice.xml", "Rechnung angenommen"]]
        self.sim.control(write_messages=messages)
        invoice = "<invoice>Grüezi \u20ac</invoice>".encode("utf-8") + b"\xff\x00tail"
        input_gate = self.sim.rpc(session["url"])
        self.assertEqual(input_gate.korvex.inputgate.write2(session["session"], Binary(invoice)), messages)
        self.assertEqual(input_gate.korvex.inputgate.write(session["session"], "<invoice>as text</invoice>"), messages)
        new = {n: d for n, d in self.sim.uploads().items() if n not in before}
        self.assertEqual(len(new), 2)
        (first, first_bytes), (second, second_bytes) = sorted(new.items())
        self.assertRegex(first, r"^\d{6}-sued\.xml$")
        self.assertEqual(int(second[:6]), int(first[:6]) + 1)
        self.assertEqual((first_bytes, second_bytes), (invoice, b"<invoice>as text</invoice>"))
        self.assertIs(gate.korvex.session.close(session["session"]), True)
        with self.assertRaises(Fault) as closed:
            input_gate.korvex.inputgate.write2(session["session"], Binary(b"<late/>"))
        self.assertEqual(closed.exception.faultCode, 1001)

    def test_uploads_are_numbered_from_one(self):
        sim = Sim()
        try:
            gate = sim.gate()
            session = gate.korvex.session.new("korvex", "ordiva", "InputGate")
            sim.rpc(session["url"]).korvex.inputgate.write2(session["session"], Binary(b"<a/>"))
            self.assertEqual(list(sim.uploads()), ["000001-nord.xml"])
        finally:
            sim.stop()

    def test_a_session_belongs_to_its_center_and_unknown_ones_fault(self):
        nord = self.sim.gate("nord").korvex.session.new("korvex", "ordiva", "InputGate")
        sued_input = self.sim.rpc("http://localhost:%d/gate/sued/input" % self.sim.port)
        for session in (nord["session"], "no-such-session", ""):
            with self.subTest(session=session), self.assertRaises(Fault) as fault:
                sued_input.korvex.inputgate.write2(session, Binary(b"<x/>"))
            self.assertEqual(fault.exception.faultCode, 1001)

    def test_calls_with_wrong_parameters_or_at_the_wrong_url_fault(self):
        gate = self.sim.gate()
        response = self.sim.rpc("http://localhost:%d/gate/nord/response" % self.sim.port)
        cases = [
            ("service word", lambda: gate.korvex.session.new("korvex", "ordiva", "OutputGate"), 2),
            ("missing parameter", lambda: gate.korvex.session.new("korvex", "ordiva"), 2),
            ("confirm as integer", lambda: response.korvex.responsegate.read("korvex", "ordiva", "a", 1), 2),
            ("text where Base64 belongs", lambda: self.sim.rpc(
                "http://localhost:%d/gate/nord/input" % self.sim.port).korvex.inputgate.write2("s", "x"), 2),
            ("filter with a slash", lambda: response.korvex.responsegate.enum2("korvex", "ordiva", "../tls"), 2),
            ("method of another service", lambda: gate.korvex.responsegate.enum("korvex", "ordiva"), 1),
            ("unknown method", lambda: gate.korvex.nothing(), 1),
        ]
        for label, call, code in cases:
            with self.subTest(label), self.assertRaises(Fault) as fault:
                call()
            self.assertEqual(fault.exception.faultCode, code)
        self.assertEqual(self.sim.request("POST", "/gate/west", b"")[0], 404)
        self.assertEqual(self.sim.request("GET", "/gate/nord")[0], 405)

    def test_response_enumeration_reading_and_confirmation(self):
        sim = Sim()  # a response directory of its own
        try:
            sim.add_response("01-10000-1", "r1.xml", "<antwort>ä</antwort>".encode("utf-8"))
            sim.add_response("01-10000-1", "r2.xml", b"<antwort/>")
            sim.add_response("01-20000-2", "r3.bin", b"\x00\x01\xfe\xff")
            gate = sim.rpc("http://localhost:%d/gate/nord/response" % sim.port).korvex.responsegate
            self.assertEqual(gate.enum("korvex", "ordiva"), ["r1.xml", "r2.xml", "r3.bin"])
            self.assertEqual(gate.enum2("korvex", "ordiva", "01-10000-1"), ["r1.xml", "r2.xml"])
            self.assertEqual(gate.enum2("korvex", "ordiva", "99-none"), [])
            self.assertEqual(gate.read("korvex", "ordiva", "r1.xml", False), "<antwort>ä</antwort>")
            self.assertEqual(gate.read("korvex", "ordiva", "r3.bin", False), b"\x00\x01\xfe\xff")
            self.assertEqual(gate.read("korvex", "ordiva", "r2.xml", True), "<antwort/>")
            self.assertEqual(gate.enum2("korvex", "ordiva", "01-10000-1"), ["r1.xml"])
            with self.assertRaises(Fault) as missing:
                gate.read("korvex", "ordiva", "r2.xml", False)
            self.assertEqual(missing.exception.faultCode, 1002)
            sim.control(response_names=["ghost.xml"])
            self.assertEqual(gate.enum("korvex", "ordiva"), ["ghost.xml"])
            self.assertEqual(gate.enum2("korvex", "ordiva", "01-10000-1"), ["ghost.xml"])
        finally:
            sim.stop()

    def test_version_queries_answer_defaults_or_the_control(self):
        gate = self.sim.gate().korvex
        self.assertEqual(gate.queryminversion(), {"minDate": "2000-01-01", "minVer": "1.0.0"})
        newest = gate.querynewversion2("win32", "x86_64", "2026-01-01", "DE")
        self.assertEqual(newest["currentVersion"], "5.0.0")
        self.assertEqual(newest["url"], "http://localhost:%d/download/kxp-setup.exe" % self.sim.port)
        self.assertEqual(self.sim.request("GET", "/download/kxp-setup.exe")[0], 200)
        self.sim.control(min_version={"minDate": "2026-06-01", "minVer": "6.1.0"},
                         new_version={"currentVersion": "6.2.0", "url": "u", "info": "i"})
        self.assertEqual(gate.queryminversion(), {"minDate": "2026-06-01", "minVer": "6.1.0"})
        self.assertEqual(gate.querynewversion2("win32", "x86_64", "2026-01-01", "FR"),
                         {"currentVersion": "6.2.0", "url": "u", "info": "i"})
        self.assertEqual(self.sim.log()[-1]["rpc_params"], ["win32", "x86_64", "2026-01-01", "FR"])
        # The offered download may live on another host; the simulator passes the text on.
        elsewhere = {"currentVersion": "6.2.0", "url": "http://downloads.other.localhost:%d/kxp-setup.exe" % self.sim.port,
                     "info": "i"}
        self.sim.control(new_version=elsewhere)
        self.assertEqual(gate.querynewversion2("win32", "x86_64", "2026-01-01", "DE"), elsewhere)


class FaultTest(SimTestCase):
    def session_new(self):
        return self.sim.gate().korvex.session.new("korvex", "ordiva", "InputGate")

    def test_each_fault_kind(self):
        self.sim.control(fault="http500")
        with self.assertRaises(xmlrpc.client.ProtocolError) as e500:
            self.session_new()
        self.assertEqual(e500.exception.errcode, 500)

        self.sim.control(fault="http401")
        with self.assertRaises(xmlrpc.client.ProtocolError) as e401:
            self.session_new()
        self.assertEqual(e401.exception.errcode, 401)

        self.sim.control(fault="xmlrpc_fault")
        with self.assertRaises(Fault) as fault:
            self.session_new()
        self.assertEqual((fault.exception.faultCode, fault.exception.faultString),
                         (4711, "simulated fault <b>&amp;</b>"))

        self.sim.control(fault="garbled")
        status, _, body = self.sim.request("POST", "/gate/nord", xmlrpc.client.dumps((), "korvex.queryminversion"))
        self.assertEqual(status, 200)
        with self.assertRaises(Exception):
            xmlrpc.client.loads(body)

        self.sim.control(fault="drop")
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionResetError, ssl.SSLError)):
            self.session_new()
        self.assertIsNone(self.sim.log()[-1]["status"])

        self.sim.control(fault="slow", slow_seconds=1)
        started = time.monotonic()
        self.assertEqual(set(self.session_new()), {"session", "url", "url2"})
        self.assertGreaterEqual(time.monotonic() - started, 1.0)

    def test_wrong_shape_per_method(self):
        session = self.session_new()
        self.sim.control(fault="wrong_shape")
        gate = self.sim.gate().korvex
        input_gate = self.sim.rpc(session["url"]).korvex.inputgate
        response = self.sim.rpc(session["url2"]).korvex.responsegate
        self.assertEqual(len(gate.session.new("korvex", "ordiva", "InputGate")), 4)
        self.assertEqual(len(gate.queryminversion()), 3)
        self.assertEqual(len(gate.querynewversion2("win32", "x86_64", "d", "DE")), 2)
        for call in (lambda: input_gate.write2(session["session"], Binary(b"<x/>")),
                     lambda: input_gate.write(session["session"], "<x/>"),
                     lambda: response.enum("korvex", "ordiva"),
                     lambda: response.enum2("korvex", "ordiva", "f")):
            self.assertIsInstance(call(), dict)

    def test_faulted_calls_leave_no_trace_in_the_gate(self):
        session = self.session_new()
        before = self.sim.uploads()
        for fault in ("http500", "http401", "xmlrpc_fault", "garbled", "drop", "wrong_shape"):
            self.sim.control(fault=fault)
            with self.subTest(fault=fault):
                try:
                    self.sim.rpc(session["url"]).korvex.inputgate.write2(session["session"], Binary(b"<x/>"))
                except Exception:
                    pass
                self.assertEqual(self.sim.uploads(), before)

    def test_fault_methods_every_and_cycle_choose_the_faulting_calls(self):
        self.sim.control(fault="xmlrpc_fault", fault_methods=["korvex.queryminversion"])
        self.assertEqual(set(self.session_new()), {"session", "url", "url2"})
        with self.assertRaises(Fault):
            self.sim.gate().korvex.queryminversion()

        def outcomes(count):
            result = []
            for _ in range(count):
                try:
                    self.sim.gate().korvex.queryminversion()
                    result.append("ok")
                except Fault:
                    result.append("xmlrpc_fault")
                except xmlrpc.client.ProtocolError as e:
                    result.append("http%d" % e.errcode)
                except (http.client.RemoteDisconnected, ConnectionResetError, ssl.SSLError):
                    result.append("drop")
            return result

        self.sim.control(fault="xmlrpc_fault", fault_every=3)
        self.assertEqual(outcomes(6), ["ok", "ok", "xmlrpc_fault"] * 2)
        # A new control starts the count again.
        self.sim.control(fault="xmlrpc_fault", fault_every=2)
        self.assertEqual(outcomes(2), ["ok", "xmlrpc_fault"])
        self.sim.control(fault_cycle=["http500", "xmlrpc_fault", "drop"])
        self.assertEqual(outcomes(4), ["http500", "xmlrpc_fault", "drop", "http500"])
        self.sim.control(fault_cycle=["http500", "drop"], fault_every=2)
        self.assertEqual(outcomes(4), ["ok", "http500", "ok", "drop"])

    def test_faults_reach_downloads_and_login_pages_only_by_path(self):
        self.sim.control(fault="http500")
        self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd")[0], 200)
        self.sim.control(fault="http500", fault_methods=["/download/"])
        self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd")[0], 500)
        self.assertEqual(self.sim.request("GET", "/certificates/tcnord-a.crt")[0], 200)
        self.assertEqual(set(self.session_new()), {"session", "url", "url2"})
        self.sim.control(fault="http500", fault_methods=["/REST/v1/OAuth/GetAuthCode/"])
        self.assertEqual(self.sim.login()[0], 500)

    def test_an_unusable_control_is_loud(self):
        for text in ("{not json", '{"fault": "gremlins"}', "[1, 2]", '{"close_after": -1}',
                     '{"close_header": "yes"}', '{"session_host": "other.localhost/evil"}',
                     '{"redirect": {"methods": "korvex.session.new"}}', '{"redirect": {}}',
                     '{"redirect": {"paths": ["/"], "status": 200}}',
                     '{"huge_reply": {"paths": ["/"]}}', '{"huge_reply": {"bytes": 10}}'):
            with self.subTest(text=text):
                with open(os.path.join(self.sim.dir, "control.json"), "w") as f:
                    f.write(text)
                status, _, body = self.sim.request("GET", "/download/schemas/korvex.xsd")
                self.assertEqual(status, 500)
                self.assertIn(b"control.json", body)
        self.sim.control()
        self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd")[0], 200)

    def test_one_bad_request_does_not_stop_the_others(self):
        raw = socket.create_connection(("127.0.0.1", self.sim.port), 5)
        raw.sendall(b"GET / HTTP/1.1\r\n\r\n")  # plain text on the TLS port
        raw.close()
        silent = socket.create_connection(("127.0.0.1", self.sim.port), 5)  # never speaks
        try:
            status, _, _ = self.sim.request("POST", "/gate/nord", b"\x00\xff garbage",
                                            headers={"Content-Type": "text/xml"})
            self.assertEqual(status, 200)
            self.assertEqual(set(self.session_new()), {"session", "url", "url2"})
        finally:
            silent.close()


def exchange(connection, method, path, body=None, token=TOKEN, headers=None):
    """(status, headers, body) of one request on a connection the caller keeps open."""
    all_headers = dict(headers or {})
    if token:
        all_headers["Authorization"] = "Bearer " + token
    connection.request(method, path, body=body, headers=all_headers)
    response = connection.getresponse()
    return response.status, dict(response.getheaders()), response.read()


DEAD_CONNECTION = (http.client.RemoteDisconnected, ConnectionError, ssl.SSLError)


def rpc_body(method, *params):
    return xmlrpc.client.dumps(params, method).encode("utf-8")


class ConnectionTest(SimTestCase):
    def test_requests_on_one_connection_share_it_and_count_once(self):
        before_log, before = len(self.sim.log()), self.sim.counts()
        connection = self.sim.connection()
        try:
            answers = [exchange(connection, "GET", "/download/schemas/korvex.xsd"),
                       exchange(connection, "POST", "/gate/nord", rpc_body("korvex.queryminversion"),
                                headers={"Content-Type": "text/xml"}),
                       exchange(connection, "GET", "/download/schemas/korvex.xsd", token=None)]
        finally:
            connection.close()
        self.assertEqual([a[0] for a in answers], [200, 200, 401])
        for status, headers, body in answers:
            self.assertEqual(int(headers["Content-Length"]), len(body))
            self.assertNotIn("Connection", headers)
        entries = self.sim.log()[before_log:]
        self.assertEqual(len({e["connection"] for e in entries}), 1)
        self.assertEqual([e["host"] for e in entries], ["oauth2.localhost:%d" % self.sim.port] * 3)
        after = self.sim.counts()
        self.assertEqual(after["https"], before["https"] + 1)
        self.assertEqual(entries[0]["connection"], after["https"])

        # A second connection gets the next number; the plain listener counts its own.
        self.sim.request("GET", "/download/schemas/korvex.xsd")
        self.assertEqual(self.sim.log()[-1]["connection"], after["https"] + 1)
        plain = http.client.HTTPConnection("127.0.0.1", self.sim.http_port, timeout=10)
        try:
            statuses = [exchange(plain, "GET", "/start", token=None)[0] for _ in range(2)]
        finally:
            plain.close()
        self.assertEqual(statuses, [200, 200])
        self.assertEqual([e["port"] for e in self.sim.log()[-2:]], ["http", "http"])
        self.assertEqual({e["connection"] for e in self.sim.log()[-2:]}, {self.sim.counts()["http"]})
        self.assertEqual(self.sim.counts()["http"], before["http"] + 1)

    def test_close_after_hangs_up_silently_after_so_many_answers(self):
        for close_after in (1, 3):
            with self.subTest(close_after=close_after):
                self.sim.control(close_after=close_after)
                before = self.sim.counts()["https"]
                connection = self.sim.connection()
                try:
                    for _ in range(close_after):
                        status, headers, _ = exchange(connection, "GET", "/download/schemas/korvex.xsd")
                        self.assertEqual(status, 200)
                        self.assertNotIn("Connection", headers)
                    with self.assertRaises(DEAD_CONNECTION):
                        exchange(connection, "GET", "/download/schemas/korvex.xsd")
                finally:
                    connection.close()
                self.assertEqual(self.sim.counts()["https"], before + 1)
                # The next connection is served as usual.
                self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd")[0], 200)

    def test_close_header_says_so_and_ends_every_connection(self):
        self.sim.control(close_header=True)
        before_log, before = len(self.sim.log()), self.sim.counts()["https"]
        connection = self.sim.connection()
        try:
            for _ in range(2):
                # http.client opens a new connection when the last answer said "close".
                status, headers, _ = exchange(connection, "GET", "/download/schemas/korvex.xsd")
                self.assertEqual((status, headers.get("Connection")), (200, "close"))
        finally:
            connection.close()
        self.assertEqual(self.sim.counts()["https"], before + 2)
        self.assertEqual(len({e["connection"] for e in self.sim.log()[before_log:]}), 2)

    def test_failed_handshakes_count_apart(self):
        before = self.sim.counts()
        stranger = LoopbackHTTPS("oauth2.localhost", self.sim.port, context=ssl.create_default_context(), timeout=10)
        with self.assertRaises(ssl.SSLCertVerificationError):
            stranger.request("GET", "/")
        raw = socket.create_connection(("127.0.0.1", self.sim.port), 5)
        raw.sendall(b"GET / HTTP/1.1\r\n\r\n")  # plain text on the TLS port
        try:
            raw.recv(100)  # returns when the simulator has given up on it
        except ConnectionResetError:
            pass
        raw.close()
        deadline = time.monotonic() + 10
        while self.sim.counts()["https_handshake_failures"] < before["https_handshake_failures"] + 2:
            self.assertLess(time.monotonic(), deadline, self.sim.counts())
            time.sleep(0.02)
        self.assertEqual(self.sim.counts()["https"], before["https"])
        self.assertEqual(self.sim.counts()["https_handshake_failures"], before["https_handshake_failures"] + 2)


class HostileTest(SimTestCase):
    def test_huge_reply_is_exactly_the_size_asked_for_with_length_or_chunked(self):
        size = 3 * 1024 * 1024 + 7
        for chunked in (False, True):
            with self.subTest(chunked=chunked):
                self.sim.control(huge_reply={"bytes": size, "paths": ["/download/kx"], "chunked": chunked})
                status, headers, body = self.sim.request("GET", "/download/kx-schemas.zip")
                self.assertEqual((status, len(body)), (200, size))
                if chunked:
                    self.assertEqual((headers.get("Transfer-Encoding"), headers.get("Content-Length")),
                                     ("chunked", None))
                else:
                    self.assertEqual(headers.get("Content-Length"), str(size))
                # A well-formed answer: only its size gives it away.
                (value,), _ = xmlrpc.client.loads(body)
                self.assertEqual(value, "x" * len(value))
                # Other requests are not touched.
                self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd")[0], 200)
        self.sim.control(huge_reply={"bytes": 5, "methods": ["korvex.queryminversion"]})
        status, _, body = self.sim.request("POST", "/gate/nord", rpc_body("korvex.queryminversion"))
        self.assertEqual((status, body), (200, b"xxxxx"))
        self.assertEqual(set(self.sim.gate().korvex.session.new("korvex", "ordiva", "InputGate")),
                         {"session", "url", "url2"})

    def test_a_client_that_gives_up_on_a_huge_reply_is_no_trouble(self):
        sim = Sim()  # its own output and memory
        try:
            for chunked in (False, True):
                with self.subTest(chunked=chunked):
                    sim.control(huge_reply={"bytes": 8 << 30, "methods": ["korvex.session.new"], "chunked": chunked})
                    connection = sim.connection()
                    connection.request("POST", "/gate/nord", rpc_body("korvex.session.new", "korvex", "ordiva",
                                                                      "InputGate"),
                                       headers={"Authorization": "Bearer " + TOKEN})
                    response = connection.getresponse()
                    self.assertEqual(len(response.read(1 << 20)), 1 << 20)
                    connection.close()
                    sim.control()
                    self.assertEqual(sim.request("GET", "/download/schemas/korvex.xsd")[0], 200)
            with open("/proc/%d/status" % sim.proc.pid) as f:
                peak_kib = int(next(line for line in f if line.startswith("VmHWM:")).split()[1])
            self.assertLess(peak_kib, 256 * 1024, "the reply was held in memory")
            self.assertEqual(sim.log()[-2]["status"], 200)
            sim.proc.terminate()
            sim.proc.wait(10)
            # Nothing but the ready line and the goodbye: no traceback, no complaint.
            self.assertEqual(sim.output().strip(), "%s\nsimulator: stopping (signal)" % json.dumps(sim.info))
        finally:
            sim.stop()

    def test_redirect_points_at_the_plain_listener_which_logs_what_follows(self):
        self.sim.control(redirect={"methods": ["korvex.queryminversion"], "paths": ["/download/schemas/"]})
        status, headers, _ = self.sim.request("POST", "/gate/nord", rpc_body("korvex.queryminversion"))
        self.assertEqual(status, 302)
        self.assertEqual(headers["Location"], "http://127.0.0.1:%d/redirected/gate/nord" % self.sim.http_port)
        status, headers, _ = self.sim.request("GET", "/download/schemas/korvex.xsd?x=1")
        self.assertEqual((status, headers["Location"]),
                         (302, "http://127.0.0.1:%d/redirected/download/schemas/korvex.xsd?x=1" % self.sim.http_port))
        # Methods and paths that are not named are answered as usual.
        self.assertEqual(set(self.sim.gate().korvex.session.new("korvex", "ordiva", "InputGate")),
                         {"session", "url", "url2"})
        self.assertEqual(self.sim.request("GET", "/download/transformers/transform-1.0.xsl")[0], 200)

        # A client that follows with its token in hand shows up on the plain listener.
        target = urllib.parse.urlsplit(headers["Location"])
        plain = http.client.HTTPConnection(target.hostname, target.port, timeout=10)
        try:
            status, _, body = exchange(plain, "POST", target.path + "?" + target.query, b"<x/>")
        finally:
            plain.close()
        self.assertEqual((status, body), (200, b"redirected here\n"))
        last = self.sim.log()[-1]
        self.assertEqual((last["port"], last["method"], last["path"], last["authorization"]),
                         ("http", "POST", "/redirected/download/schemas/korvex.xsd?x=1", "Bearer " + TOKEN))
        self.sim.control(redirect={"paths": ["/gate/"], "status": 307})
        self.assertEqual(self.sim.request("POST", "/gate/sued", b"")[0], 307)

    def test_session_host_names_another_loopback_host_that_the_certificate_covers(self):
        self.sim.control(session_host="other.localhost")
        session = self.sim.gate("sued").korvex.session.new("korvex", "ordiva", "InputGate")
        self.assertEqual((session["url"], session["url2"]),
                         ("http://other.localhost:%d/gate/sued/input" % self.sim.port,
                          "http://other.localhost:%d/gate/sued/response" % self.sim.port))
        # Rewritten as the product rewrites it, the name passes the TLS check.
        self.assertEqual(self.sim.rpc(session["url"]).korvex.inputgate.write2(session["session"], Binary(b"<a/>")),
                         [])
        self.assertEqual(self.sim.log()[-1]["host"], "oauth2.other.localhost:%d" % self.sim.port)


class PublicPortTest(unittest.TestCase):
    def test_served_urls_name_the_public_port(self):
        public = 54321
        sim = Sim("--public-port", str(public))
        try:
            self.assertEqual((sim.info["public_port"], sim.info["https_port"] != public), (public, True))
            status, _, body = sim.request("GET", "/download/config/korvex.xml")
            self.assertEqual(status, 200)
            root = ET.fromstring(body)
            self.assertEqual(root.get("url_down"), "http://localhost:%d/download" % public)
            self.assertEqual([c.get("url") for c in root.iter("center")],
                             ["http://localhost:%d/gate/nord" % public, "http://localhost:%d/gate/sued" % public])
            session = sim.gate().korvex.session.new("korvex", "ordiva", "InputGate")
            self.assertEqual(session["url2"], "http://localhost:%d/gate/nord/response" % public)
            newest = sim.gate().korvex.querynewversion2("win32", "x86_64", "2026-01-01", "DE")
            self.assertEqual(newest["url"], "http://localhost:%d/download/kxp-setup.exe" % public)
        finally:
            sim.stop()


class OAuthTest(SimTestCase):
    def test_login_page_redirects_with_a_code_and_the_state_as_given(self):
        status, location = self.sim.login("http://localhost:4711/", state="123456")
        self.assertEqual(status, 302)
        parts = urllib.parse.urlsplit(location)
        self.assertEqual((parts.scheme, parts.netloc, parts.path), ("http", "localhost:4711", "/"))
        query = urllib.parse.parse_qs(parts.query)
        self.assertEqual(query["state"], ["123456"])
        self.assertRegex(query["code"][0], r"^[A-Za-z0-9]+$")
        self.assertNotEqual(self.sim.code(), self.sim.code())

    def test_login_page_wants_redirect_and_client(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.sim.http_port, timeout=10)
        for query in ("response_type=code&client_id=c&state=1", "response_type=code&redirect_uri=http%3A%2F%2Fx%2F"):
            with self.subTest(query=query):
                connection.request("GET", "/REST/v1/OAuth/GetAuthCode/korvex_inputgate?" + query)
                response = connection.getresponse()
                response.read()
                self.assertEqual(response.status, 400)
                connection.close()
        connection.request("GET", "/start")
        response = connection.getresponse()
        self.assertEqual((response.status, response.getheader("Content-Type")[:9]), (200, "text/html"))
        connection.close()

    def test_code_flow_gives_tokens_the_trust_center_accepts(self):
        self.sim.control(hin_id="dr.tester", expires_in=1800)
        code = self.sim.code("http://localhost:4711/")
        status, answer = self.sim.token(grant_type="authorization_code", redirect_uri="http://localhost:4711/",
                                        code=code, client_id="ch.korvex.ordivaclient")
        self.assertEqual(status, 200)
        self.assertEqual(list(answer), ["access_token", "refresh_token", "expires_in", "token_type", "hin_id"])
        self.assertEqual((answer["expires_in"], answer["token_type"], answer["hin_id"]), (1800, "Bearer", "dr.tester"))
        self.assertEqual((len(answer["access_token"]), len(answer["refresh_token"])), (60, 60))
        self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd", token=answer["access_token"])[0], 200)
        # A code works once.
        status, again = self.sim.token(grant_type="authorization_code", redirect_uri="http://localhost:4711/",
                                       code=code, client_id="ch.korvex.ordivaclient")
        self.assertEqual((status, again["error"]), (400, "invalid_grant"))

    def test_token_requests_that_are_refused(self):
        cases = [
            ("unknown code", dict(grant_type="authorization_code", redirect_uri="http://localhost:4711/",
                                  code="made-up", client_id="ch.korvex.ordivaclient")),
            ("other redirect", dict(grant_type="authorization_code", redirect_uri="http://localhost:4712/",
                                    code=self.sim.code("http://localhost:4711/"), client_id="ch.korvex.ordivaclient")),
            ("other client", dict(grant_type="authorization_code", redirect_uri="http://localhost:4711/",
                                  code=self.sim.code("http://localhost:4711/"), client_id="someone.else")),
            ("no client", dict(grant_type="authorization_code", redirect_uri="http://localhost:4711/",
                               code=self.sim.code("http://localhost:4711/"))),
            ("unknown refresh token", dict(grant_type="refresh_token", refresh_token="x" * 60,
                                           client_id="ch.korvex.ordivaclient")),
            ("no grant", dict(client_id="ch.korvex.ordivaclient")),
            ("password grant", dict(grant_type="password", client_id="ch.korvex.ordivaclient")),
        ]
        for label, form in cases:
            with self.subTest(label):
                status, answer = self.sim.token(**form)
                self.assertEqual(status, 400)
                self.assertIn("error", answer)
        self.assertEqual(self.sim.request("GET", TOKEN_PATH, token=None)[0], 405)

    def test_refresh_gives_a_new_pair_and_the_old_refresh_token_dies(self):
        code = self.sim.code()
        _, first = self.sim.token(grant_type="authorization_code", redirect_uri="http://localhost:4711/",
                                  code=code, client_id="ch.korvex.ordivaclient")
        status, second = self.sim.token(grant_type="refresh_token", refresh_token=first["refresh_token"],
                                        client_id="ch.korvex.ordivaclient")
        self.assertEqual(status, 200)
        self.assertNotEqual(second["access_token"], first["access_token"])
        self.assertNotEqual(second["refresh_token"], first["refresh_token"])
        self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd", token=second["access_token"])[0], 200)
        status, _ = self.sim.token(grant_type="refresh_token", refresh_token=first["refresh_token"],
                                   client_id="ch.korvex.ordivaclient")
        self.assertEqual(status, 400)
        status, _ = self.sim.token(grant_type="refresh_token", refresh_token=second["refresh_token"],
                                   client_id="ch.korvex.ordivaclient")
        self.assertEqual(status, 200)

    def test_a_code_issued_for_a_pkce_challenge_is_redeemed_with_its_verifier_alone(self):
        # The worked example of RFC 7636, appendix B.
        verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"
        pkce = dict(code_challenge="E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM", code_challenge_method="S256")
        cases = [
            ("its verifier", pkce, verifier, 200),
            ("another verifier", pkce, verifier[:-1] + "l", 400),
            ("no verifier", pkce, None, 400),
            # A code issued without a challenge is someone else's for a client
            # that sends a verifier: it must not be talked out of PKCE.
            ("a code issued without a challenge", {}, verifier, 400),
            ("neither, as before PKCE", {}, None, 200),
        ]
        for label, extra, given, expected in cases:
            with self.subTest(label):
                form = dict(grant_type="authorization_code", redirect_uri="http://localhost:4711/",
                            code=self.sim.code("http://localhost:4711/", **extra), client_id="ch.korvex.ordivaclient")
                if given is not None:
                    form["code_verifier"] = given
                status, answer = self.sim.token(**form)
                self.assertEqual(status, expected)
                if expected == 400:
                    self.assertEqual(answer["error"], "invalid_grant")

    def test_login_page_takes_s256_challenges_only(self):
        challenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
        cases = [
            ("no method", dict(code_challenge=challenge)),
            ("plain", dict(code_challenge=challenge, code_challenge_method="plain")),
            ("method without challenge", dict(code_challenge_method="S256")),
            ("not a digest", dict(code_challenge="short", code_challenge_method="S256")),
        ]
        for label, extra in cases:
            with self.subTest(label):
                self.assertEqual(self.sim.login(**extra)[0], 400)

    def test_an_access_token_expires_after_expires_in(self):
        self.sim.control(expires_in=2)
        _, answer = self.sim.token(grant_type="authorization_code", redirect_uri="http://localhost:4711/",
                                   code=self.sim.code(), client_id="ch.korvex.ordivaclient")
        self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd", token=answer["access_token"])[0], 200)
        time.sleep(2.2)
        self.assertEqual(self.sim.request("GET", "/download/schemas/korvex.xsd", token=answer["access_token"])[0], 401)


class Listener:
    """The client's one-shot loopback listener: records the request line, answers 303."""

    def __init__(self):
        self.requests = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer.requests.append(self.path)
                self.send_response(303, "See other")
                self.send_header("Location", "http://localhost:1/start")
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class BrowserTest(SimTestCase):
    def run_browser(self, mode, listener, argument=None, then=None):
        log = os.path.join(self.sim.dir, "browser-%s-%d.log" % (mode or "normal", listener.port))
        env = dict(os.environ, KORVEX_SIM_BROWSER_MODE=mode, KORVEX_SIM_BROWSER_LOG=log)
        started = time.monotonic()
        # No shell, one argument, as the product starts it.
        subprocess.run([BROWSER, argument or self.sim.login_url("http://localhost:%d/" % listener.port, state="77")],
                       env=env, check=True, timeout=10)
        self.assertLess(time.monotonic() - started, 5, "the caller must not wait for the browser")
        if then:
            then()
        wait_for_line(log)
        return [json.loads(line) for line in read(log).splitlines()]

    def test_each_mode_reaches_the_listener_as_a_user_would(self):
        cases = [("", "77", True), ("wrong-state", "78", True), ("no-code", "77", False)]
        for mode, state, with_code in cases:
            with self.subTest(mode=mode):
                listener = Listener()
                try:
                    record = self.run_browser(mode, listener)
                    self.assertEqual(len(listener.requests), 1)
                    parts = urllib.parse.urlsplit(listener.requests[0])
                    self.assertEqual(parts.path, "/")
                    query = urllib.parse.parse_qs(parts.query)
                    self.assertEqual(query["state"], [state])
                    self.assertEqual("code" in query, with_code)
                    self.assertEqual((record[0]["login_status"], record[0]["listener_status"]), (302, 303))
                finally:
                    listener.close()

    def test_the_code_the_browser_delivers_buys_a_token(self):
        listener = Listener()
        try:
            self.run_browser("", listener)
            code = urllib.parse.parse_qs(urllib.parse.urlsplit(listener.requests[0]).query)["code"][0]
        finally:
            listener.close()
        status, _ = self.sim.token(grant_type="authorization_code", redirect_uri="http://localhost:%d/" % listener.port,
                                   code=code, client_id="ch.korvex.ordivaclient")
        self.assertEqual(status, 200)

    def test_a_page_file_leads_it_to_the_login_in_the_file(self):
        listener = Listener()
        page = os.path.join(self.sim.dir, "login-page.html")
        try:
            url = self.sim.login_url("http://localhost:%d/" % listener.port, state="77")
            with open(page, "w") as f:
                f.write('<meta http-equiv="refresh" content="0;url=%s">\n' % html.escape(url, quote=True))
            os.chmod(page, 0o600)
            # Read before the command returns: the client removes the page once the login ends.
            record = self.run_browser("", listener, argument=page, then=lambda: os.remove(page))
            self.assertEqual(len(listener.requests), 1)
            self.assertEqual(urllib.parse.parse_qs(urllib.parse.urlsplit(listener.requests[0]).query)["state"], ["77"])
            self.assertEqual((record[0]["url"], record[0]["page"], record[0]["page_mode"]), (url, page, "600"))
        finally:
            listener.close()

    def test_a_foreign_code_carries_the_state_but_no_challenge(self):
        listener = Listener()
        try:
            verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"
            url = self.sim.login_url("http://localhost:%d/" % listener.port, state="77",
                                     code_challenge="E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM",
                                     code_challenge_method="S256")
            self.run_browser("foreign-code", listener, argument=url)
            query = urllib.parse.parse_qs(urllib.parse.urlsplit(listener.requests[0]).query)
        finally:
            listener.close()
        self.assertEqual(query["state"], ["77"])
        form = dict(grant_type="authorization_code", redirect_uri="http://localhost:%d/" % listener.port,
                    code=query["code"][0], client_id="ch.korvex.ordivaclient")
        self.assertEqual(self.sim.token(code_verifier=verifier, **form)[0], 400)

    def test_a_user_who_never_logs_in(self):
        listener = Listener()
        try:
            before = len(self.sim.log())
            record = self.run_browser("none", listener)
            time.sleep(0.5)
            self.assertEqual(listener.requests, [])
            self.assertEqual(len(self.sim.log()), before)
            self.assertEqual(record, [{"url": record[0]["url"], "mode": "none"}])
        finally:
            listener.close()

    def test_a_listener_that_comes_up_late_is_still_reached(self):
        # Take a free port, start the browser, and only then listen on it.
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        log = os.path.join(self.sim.dir, "browser-late.log")
        env = dict(os.environ, KORVEX_SIM_BROWSER_MODE="", KORVEX_SIM_BROWSER_LOG=log)
        subprocess.run([BROWSER, self.sim.login_url("http://localhost:%d/" % port)], env=env, check=True, timeout=10)
        time.sleep(0.3)
        class Unsupported(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

        server = http.server.HTTPServer(("127.0.0.1", port), Unsupported)
        server.timeout = 10
        server.handle_request()  # answers 501, which is all the browser needs to have reached it
        server.server_close()
        wait_for_line(log)
        self.assertEqual(json.loads(read(log))["listener_status"], 501)


class LifetimeTest(unittest.TestCase):
    def wait_gone(self, pid, seconds=5):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                with open("/proc/%d/stat" % pid) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        return True
            except FileNotFoundError:
                return True
            time.sleep(0.05)
        return False

    def test_sigterm_and_time_limit_end_it(self):
        sim = Sim()
        sim.proc.send_signal(signal.SIGTERM)
        self.assertEqual(sim.proc.wait(5), 0)
        sim.stop()
        sim = Sim("--time-limit", "1")
        self.assertEqual(sim.proc.wait(10), 0)
        sim.stop()

    def test_it_ends_when_its_parent_is_gone(self):
        state_dir = tempfile.mkdtemp(prefix="korvex-sim-test-")
        try:
            # A parent that starts the simulator and then dies without a word.
            parent = subprocess.Popen([sys.executable, "-c", (
                "import subprocess, sys, time\n"
                "subprocess.Popen([sys.executable, %r, '--state-dir', %r],"
                " stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
                "time.sleep(60)\n") % (SIMULATOR, state_dir)])
            info_path = os.path.join(state_dir, "sim.json")
            deadline = time.monotonic() + 30
            while not os.path.exists(info_path) and time.monotonic() < deadline:
                time.sleep(0.05)
            pid = json.loads(read(info_path))["pid"]
            parent.kill()
            parent.wait()
            self.assertTrue(self.wait_gone(pid), "simulator outlived its parent")
        finally:
            shutil.rmtree(state_dir, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
