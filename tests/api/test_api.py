"""The link's HTTP interface through a real HTTP client against the real
program and the printer simulator; every reply is checked against the
interface's OpenAPI description (docs/api.yaml).

Usage: test_api.py LINK SIM TEMPLATE_DB DOCS_YAML
"""
import http.client
import json
import os
import re
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

import jsonschema
import yaml

LINK, SIM, TEMPLATE, DESCRIPTION_PATH = (os.path.abspath(a) for a in sys.argv[1:5])
del sys.argv[1:5]


def read(path, encoding="utf-8"):
    with open(path, encoding=encoding) as f:
        return f.read()


DESCRIPTION = yaml.safe_load(read(DESCRIPTION_PATH))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(cond, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def schema_of(path, method, status):
    """The JSON schema the description gives for a reply (with its components)."""
    op = DESCRIPTION["paths"][path][method]
    response = op["responses"][str(status)]
    if "$ref" in response:
        response = DESCRIPTION["components"]["responses"][response["$ref"].split("/")[-1]]
    schema = dict(response["content"]["application/json"]["schema"])
    schema["components"] = DESCRIPTION["components"]
    return schema


class Display:
    """An X display of its own, so that the link's operator messages can be answered."""

    def __init__(self, folder):
        self.proc = None
        self.name = None
        if not shutil.which("Xvfb") or not shutil.which("xdotool"):
            return
        number = os.path.join(folder, "display")
        # The X server picks a free display itself and writes its number.
        self.proc = subprocess.Popen(
            ["sh", "-c", 'exec Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$0"', number],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_until(lambda: os.path.exists(number) and read(number).strip().isdigit(), 10):
            self.name = ":" + read(number).strip()

    def press_return(self, pid):
        if not self.name:
            return 0
        env = dict(os.environ, DISPLAY=self.name)
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], env=env,
                               capture_output=True, text=True, timeout=5).stdout.split()
        for w in found:
            subprocess.run(["sh", "-c", f"xdotool windowfocus {w} && sleep 0.2 && xdotool key Return"], env=env,
                           capture_output=True, timeout=5)
        return len(found)

    def close(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(5)


class Installation:
    """A throw-away installation with the printer simulator and the link."""

    def __init__(self, api=True, api_extra=""):
        self.root = tempfile.mkdtemp(prefix="velbrin-api-")
        for d in ("Other/DB_Clear", "run", "fbl", "xdg", "Appl"):
            os.makedirs(os.path.join(self.root, d))
        os.chmod(os.path.join(self.root, "xdg"), 0o700)
        shutil.copy(TEMPLATE, os.path.join(self.root, "Other/DB_Clear/Zorvex.fdb"))
        with open(os.path.join(self.root, "registry.ini"), "w") as f:
            f.write("[Software\\Helvane\\Velbrin]\nLocal_Install_Dir=%s\nRemote_Exch_Lnk=\n" % self.root)
        self.display = Display(self.root)
        self.state = os.path.join(self.root, "fp.state")
        self.trace = os.path.join(self.root, "fp.trace")
        self.sim = subprocess.Popen([SIM, "--state", self.state, "--link", self.path("ttyFP"), "--control",
                                     self.path("fp.sock")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: os.path.exists(self.path("fp.sock")), 10)
        self.control("trace " + self.trace)
        self.port = free_port()
        ini = "[Portovi]\nFP=%s\n" % self.path("ttyFP")
        if api:
            ini += "[Api]\nPort=%d\nReplyWaitMs=8000\n%s" % (self.port, api_extra)
        with open(self.path("Appl/LINK.INI"), "w") as f:
            f.write(ini)
        self.link = None

    def path(self, name):
        return os.path.join(self.root, name)

    def control(self, line):
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(self.path("fp.sock"))
            s.sendall((line + "\n").encode())
            return s.makefile().readline().strip()

    def start(self, wait_port=True):
        env = dict(os.environ, VELBRIN_REGISTRY=self.path("registry.ini"), VELBRIN_RUNTIME_DIR=self.path("run"),
                   FIREBIRD_LOCK=self.path("fbl"), XDG_RUNTIME_DIR=self.path("xdg"))
        if self.display.name:
            env["DISPLAY"] = self.display.name
            env.pop("QT_QPA_PLATFORM", None)
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
        with open(self.path("link.out"), "ab") as out:
            self.link = subprocess.Popen([LINK], env=env, cwd=self.root, stdout=out, stderr=subprocess.STDOUT)
        if wait_port:
            assert wait_until(self.listening, 60), "the HTTP interface did not come up: " + self.log()

    def listening(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                return True
        except OSError:
            return False

    def kill(self):
        self.link.send_signal(signal.SIGKILL)
        self.link.wait(10)

    def stop(self):
        if self.link and self.link.poll() is None:
            self.link.terminate()
            try:
                self.link.wait(20)
            except subprocess.TimeoutExpired:
                self.kill()

    def token(self):
        return read(self.path("Other/Api/token")).strip()

    def log(self):
        p = self.path("Logs/LINK_log.txt")
        return read(p, "cp1250") if os.path.exists(p) else ""

    def printed(self):
        journal = self.state + ".journal"
        if not os.path.exists(journal):
            return 0
        return sum(1 for line in read(journal, "cp1250").splitlines() if line.startswith("OPEN "))

    def close(self):
        self.stop()
        self.sim.terminate()
        self.sim.wait(5)
        self.display.close()
        shutil.rmtree(self.root, ignore_errors=True)


RECEIPT = {"lines": [{"article": "1001", "taxGroup": "1", "name": "Mleko 1L", "price": 129.90, "quantity": 2},
                     {"article": "1002", "taxGroup": "1", "name": "Hleb", "price": "64.50", "quantity": "1"}],
           "payments": [{"kind": 1, "amount": "100.00"}], "cashier": {"name": "Ana"}}


class ApiTest(unittest.TestCase):
    inst = None

    @classmethod
    def setUpClass(cls):
        cls.inst = Installation()
        cls.inst.start()

    @classmethod
    def tearDownClass(cls):
        cls.inst.close()

    def call(self, method, path, body=None, key=None, token="", template=None, headers=None):
        """One request; the reply checked against the description. Returns (status, json, headers)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.inst.port, timeout=30)
        h = {"Content-Type": "application/json"}
        if token is not None:
            h["Authorization"] = "Bearer " + (token or self.inst.token())
        if key:
            h["Idempotency-Key"] = key
        h.update(headers or {})
        data = body if isinstance(body, (bytes, str)) or body is None else json.dumps(body)
        conn.request(method, path, body=data, headers=h)
        r = conn.getresponse()
        payload = json.loads(r.read() or b"null")
        status = r.status
        reply_headers = dict(r.getheaders())
        conn.close()
        jsonschema.validate(payload, schema_of(template or path, method.lower(), status))
        return status, payload, reply_headers

    def test_each_kind_is_done_once_and_a_retry_gets_the_first_answer(self):
        before = self.inst.printed()
        status, reply, _ = self.call("POST", "/v1/receipts", RECEIPT, key="done-receipt")
        self.assertEqual((200, "done", "324.30"), (status, reply["state"], reply["text"]))
        again = self.call("POST", "/v1/receipts", RECEIPT, key="done-receipt")
        self.assertEqual((200, reply), again[:2])
        asked = self.call("GET", "/v1/requests/done-receipt", template="/v1/requests/{key}")
        self.assertEqual((200, reply), asked[:2])
        self.assertEqual(before + 1, self.inst.printed())
        for path, key, body in (
                ("/v1/texts", "done-text", {"lines": ["Hvala na kupovini", "Čćžšđ"]}),
                ("/v1/commands", "done-cmd", {"commands": [{"code": 50, "text": "100.00"}, {"code": 70}]}),
                ("/v1/articles", "done-art", {"operation": "N", "articles": [
                    {"article": "5001", "taxGroup": "1", "name": "Kafa", "price": "300.00"}]})):
            status, reply, _ = self.call("POST", path, body, key=key)
            self.assertEqual((200, "done"), (status, reply["state"]), reply)

    def test_refusals_keys_and_tokens(self):
        # The request's own fault, found by the checks of its file kind or by the printer's work.
        status, reply, _ = self.call("POST", "/v1/receipts", {"lines": [
            {"article": "1", "taxGroup": "1", "name": "X", "price": "abc", "quantity": 1}]}, key="bad-price")
        self.assertEqual((422, "refused"), (status, reply["state"]))
        self.assertIn("CENA", reply["text"])
        status, reply, _ = self.call("POST", "/v1/receipts", {"lines": [
            {"article": "7301", "taxGroup": "1", "name": "A", "price": "60.00", "quantity": 2},
            {"article": "7301", "taxGroup": "1", "name": "A", "price": "60.00", "quantity": 3, "void": True}]},
            key="bad-void")
        self.assertEqual((422, "refused", "ABC_@API-"), (status, reply["state"], reply["answer"][:9]))
        status, reply, _ = self.call("POST", "/v1/receipts", {"lines": [
            {"article": "KRAJBONA", "taxGroup": "1", "name": "X", "price": 1, "quantity": 1}]}, key="posing")
        self.assertEqual(422, status)
        # A key given again with another body; none at all.
        self.call("POST", "/v1/texts", {"lines": ["prvi"]}, key="reused")
        status, reply, _ = self.call("POST", "/v1/texts", {"lines": ["drugi"]}, key="reused")
        self.assertEqual((409, "key-reused"), (status, reply["error"]))
        status, reply, _ = self.call("POST", "/v1/texts", {"lines": ["x"]})
        self.assertEqual((400, "no-key"), (status, reply["error"]))
        # No token, a wrong one: nothing taken.
        for token in (None, "x" * 64):
            status, reply, headers = self.call("POST", "/v1/texts", {"lines": ["x"]}, key="t-" + str(token)[:3],
                                               token=token)
            self.assertEqual((401, "Bearer"), (status, headers.get("WWW-Authenticate")))
        self.assertEqual(404, self.call("GET", "/v1/requests/t-Non", template="/v1/requests/{key}")[0])
        self.assertNotIn(self.inst.token(), self.inst.log())

    def test_huge_body_and_slow_client_are_cut_off_while_state_stays_answered(self):
        with socket.create_connection(("127.0.0.1", self.inst.port)) as s:
            s.sendall(b"POST /v1/receipts HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + self.inst.token().encode() +
                      b"\r\nIdempotency-Key: huge\r\nContent-Length: 2097152\r\n\r\n")
            reply = s.recv(4096).decode()
        self.assertRegex(reply, r"^HTTP/1.1 413")
        slow = socket.create_connection(("127.0.0.1", self.inst.port))
        slow.sendall(b"POST /v1/receipts HTTP/1.1\r\nHost: x\r\n")
        started = time.time()
        status, state, _ = self.call("GET", "/v1/state")
        self.assertLess(time.time() - started, 0.5)
        self.assertEqual(200, status)
        slow.settimeout(10)
        # Cut off after its silence: told so, or closed without a word.
        self.assertRegex(slow.recv(100).decode(), r"^(HTTP/1.1 400 |$)")
        self.assertLess(time.time() - started, 8)
        slow.close()

    def test_state_tells_the_printer_and_what_waits(self):
        status, state, _ = self.call("GET", "/v1/state")
        self.assertEqual((200, "working", 0), (status, state["state"], state["waiting"]))
        self.assertTrue(state["printer"]["fiscalised"])
        self.assertFalse(state["printer"]["paper"]["receiptOut"])

    def test_z_paper_out_holds_the_request_and_it_is_done_once_after(self):
        if not self.inst.display.name:
            self.skipTest("no X display to answer the paper message")
        before = self.inst.printed()
        self.inst.control("paper off")
        status, reply, headers = self.call("POST", "/v1/receipts", RECEIPT, key="held")
        self.assertEqual((503, "held"), (status, reply["state"]))
        self.assertIn("Retry-After", headers)
        self.inst.control("paper on")
        done = None
        for _ in range(100):
            self.inst.display.press_return(self.inst.link.pid)
            status, reply, _ = self.call("GET", "/v1/requests/held", template="/v1/requests/{key}")
            if status == 200:
                done = reply
                break
            time.sleep(0.3)
        self.assertIsNotNone(done)
        self.assertEqual("324.30", done["text"])
        self.assertEqual(before + 1, self.inst.printed())


class ApiLifeTest(unittest.TestCase):
    """Starts of their own: the interface off, unsafe settings, a kill between the printer's close and the reply."""

    def test_off_by_default_and_unsafe_settings_keep_it_off(self):
        inst = Installation(api=False)
        try:
            inst.start(wait_port=False)
            time.sleep(4)
            self.assertFalse(inst.listening())
            self.assertFalse(os.path.exists(inst.path("Other/Api")))
            inst.stop()
            for extra, said in (("Address=0.0.0.0\n", "only with TLS"), ("TokenFile=%s\n" % inst.path("open.token"),
                                                                         "every user")):
                with open(inst.path("open.token"), "w") as f:
                    f.write("0123456789abcdef0123\n")
                os.chmod(inst.path("open.token"), 0o644)
                with open(inst.path("Appl/LINK.INI"), "a") as f:
                    f.write("[Api]\nPort=%d\n%s" % (inst.port, extra))
                inst.start(wait_port=False)
                self.assertTrue(wait_until(lambda: said in inst.log(), 60), inst.log())
                self.assertFalse(inst.listening())
                inst.stop()
                with open(inst.path("Appl/LINK.INI"), "w") as f:
                    f.write("[Portovi]\nFP=%s\n" % inst.path("ttyFP"))
        finally:
            inst.close()

    def test_a_lan_address_is_served_over_tls_only(self):
        if not shutil.which("openssl"):
            self.skipTest("no openssl to make a certificate")
        inst = Installation(api=False)
        try:
            cert, key = inst.path("api.crt"), inst.path("api.key")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                            "-days", "1", "-keyout", key, "-out", cert], check=True, capture_output=True)
            with open(inst.path("Appl/LINK.INI"), "a") as f:
                f.write("[Api]\nPort=%d\nAddress=0.0.0.0\nCertFile=%s\nKeyFile=%s\n" % (inst.port, cert, key))
            inst.start()
            context = ssl.create_default_context(cafile=cert)
            context.check_hostname = False
            conn = http.client.HTTPSConnection("127.0.0.1", inst.port, timeout=30, context=context)
            conn.request("GET", "/v1/state", headers={"Authorization": "Bearer " + inst.token()})
            r = conn.getresponse()
            self.assertEqual(200, r.status)
            jsonschema.validate(json.loads(r.read()), schema_of("/v1/state", "get", 200))
            conn.close()
            plain = http.client.HTTPConnection("127.0.0.1", inst.port, timeout=10)
            with self.assertRaises((OSError, http.client.HTTPException)):
                plain.request("GET", "/v1/state", headers={"Authorization": "Bearer " + inst.token()})
                plain.getresponse().read()
            plain.close()
        finally:
            inst.close()

    def test_kill_between_the_printers_close_and_the_reply(self):
        inst = Installation()
        try:
            inst.start()
            token = inst.token()
            # The total read after the close is slow: the kill lands after the
            # printer closed the receipt, before the database and the reply.
            inst.control("delay 1500 76")
            mark = os.path.getsize(inst.trace) if os.path.exists(inst.trace) else 0
            replies = []

            def send():
                conn = http.client.HTTPConnection("127.0.0.1", inst.port, timeout=30)
                try:
                    conn.request("POST", "/v1/receipts", body=json.dumps(RECEIPT), headers={
                        "Authorization": "Bearer " + token, "Idempotency-Key": "cut", "Content-Type": "application/json"})
                    replies.append(conn.getresponse().status)
                except OSError:
                    replies.append(0)

            t = threading.Thread(target=send)
            t.start()
            closed = re.compile(r" TX seq=\w\w cmd=56 ")
            self.assertTrue(wait_until(lambda: closed.search(read(inst.trace, "latin-1")[mark:]) is not None, 30))
            inst.kill()
            t.join()
            self.assertEqual([0], replies)  # the till had no reply
            self.assertEqual(1, inst.printed())
            inst.control("reset")
            inst.start()
            conn = http.client.HTTPConnection("127.0.0.1", inst.port, timeout=30)
            conn.request("POST", "/v1/receipts", body=json.dumps(RECEIPT), headers={
                "Authorization": "Bearer " + token, "Idempotency-Key": "cut", "Content-Type": "application/json"})
            r = conn.getresponse()
            reply = json.loads(r.read())
            self.assertEqual((200, "324.30"), (r.status, reply["text"]))
            jsonschema.validate(reply, schema_of("/v1/receipts", "post", 200))
            self.assertEqual(1, inst.printed())
        finally:
            inst.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
