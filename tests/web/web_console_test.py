"""The web console of the real KestrunServer, over HTTP and WebSocket."""
import concurrent.futures
import http.client
import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

import requests
import websocket

import web_support
from web_support import Browser, Server, wait_for

SECURITY_HEADERS = {
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}


def setUpModule():
    global SERVER
    # Short limits so that the time-outs can be awaited in a test.
    SERVER = Server(env={"KESTRUN_WEB_TIMEOUTS_MS": "1000,1500"})


def tearDownModule():
    SERVER.stop()


class Login(unittest.TestCase):
    def test_logins(self):
        cases = [  # user, password, status, body
            ("alice", "secret", 200, None),
            ("alice", "wrong", 401, {"error": "Login failed"}),
            ("mallory", "secret", 401, {"error": "Login failed"}),
            ("alice", "", 401, {"error": "Login failed"}),
            # PAM would read the password up to its NUL only.
            ("alice", "secret\0more", 400, {"error": "password holds a NUL byte"}),
        ]
        for user, password, status, body in cases:
            with self.subTest(user=user, password=password):
                start = time.monotonic()
                r = requests.post(SERVER.url("/api/login"), json={"user": user, "password": password})
                self.assertEqual(r.status_code, status)
                if body is not None:
                    self.assertEqual(r.json(), body)
                    if status == 401:
                        self.assertGreaterEqual(time.monotonic() - start, 1.0)
                else:
                    self.assertEqual(r.json()["user"], "alice")
                    self.assertEqual(len(r.json()["csrf"]), 64)
                    cookie = r.headers["Set-Cookie"]
                    self.assertRegex(cookie, r"^kestrun_session=[0-9a-f]{64}; HttpOnly; "
                                             r"SameSite=Strict; Path=/$")

    def test_me_and_logout(self):
        alice, bob = Browser(SERVER, "alice"), Browser(SERVER, "bob")
        self.assertEqual({k: v for k, v in alice.get("/api/me").json().items() if k != "csrf"},
                         {"user": "alice", "node": "127.0.0.1", "admin": True})
        self.assertFalse(bob.get("/api/me").json()["admin"])
        self.assertEqual(alice.post("/api/logout").status_code, 204)
        self.assertEqual(alice.get("/api/me").status_code, 401)
        self.assertIn("alice@127.0.0.1 logged in to the web console", SERVER.log())

    def test_five_failures_block_the_user_at_that_address_for_a_minute(self):
        def fail(_):
            return requests.post(SERVER.url("/api/login"),
                                 json={"user": "carol", "password": "x"}).status_code
        with concurrent.futures.ThreadPoolExecutor(5) as pool:
            self.assertEqual(list(pool.map(fail, range(5))), [401] * 5)
        start = time.monotonic()
        self.assertEqual(fail(0), 429)
        self.assertLess(time.monotonic() - start, 1.0)
        # Another user from the same address is not blocked.
        r = requests.post(SERVER.url("/api/login"), json={"user": "bob", "password": "hunter2"})
        self.assertEqual(r.status_code, 200)

    def test_requests_without_a_session_are_refused(self):
        for method, path in [("GET", "/api/jobs"), ("GET", "/api/me"), ("GET", "/api/history"),
                             ("POST", "/api/active/1/kill")]:
            with self.subTest(path=path):
                r = requests.request(method, SERVER.url(path),
                                     cookies={"kestrun_session": "0" * 64})
                self.assertEqual((r.status_code, r.json()), (401, {"error": "Not logged in"}))


class CsrfAndOrigin(unittest.TestCase):
    def test_state_changing_requests_need_the_token(self):
        alice = Browser(SERVER, "alice")
        for headers, status in [({}, 403), ({"X-Kestrun-CSRF": "0" * 64}, 403),
                                ({"X-Kestrun-CSRF": alice.csrf}, 200)]:
            with self.subTest(headers=headers):
                r = alice.http.post(SERVER.url("/api/jobs/FORM/validate"),
                                    json={"fields": {"1": "ok"}}, headers=headers)
                self.assertEqual(r.status_code, status)
        self.assertEqual(alice.post("/api/logout", csrf=False).status_code, 403)

    def test_websocket_upgrades_need_the_consoles_origin(self):
        alice = Browser(SERVER, "alice")
        for origin in ["http://evil.example", "http://127.0.0.1:1", "null"]:
            with self.subTest(origin=origin):
                with self.assertRaises(websocket.WebSocketBadStatusException) as caught:
                    alice.socket("/api/jobs/ECHO/run", origin=origin)
                self.assertEqual(caught.exception.status_code, 403)


class StaticFiles(unittest.TestCase):
    def test_files_and_types(self):
        cases = [  # path, status, content type
            ("/", 200, "text/html; charset=utf-8"),
            ("/app.js", 200, "text/javascript; charset=utf-8"),
            ("/missing.css", 404, "application/json"),
            ("/../secret.txt", 404, None),
            ("/%2e%2e/secret.txt", 404, None),
            ("/.hidden", 404, None),
        ]
        for path, status, ctype in cases:
            with self.subTest(path=path):
                c = http.client.HTTPConnection("127.0.0.1", SERVER.web_port)
                c.request("GET", path)
                r = c.getresponse()
                body = r.read()
                self.assertEqual(r.status, status)
                self.assertNotIn(b"not for browsers", body)
                if ctype:
                    self.assertEqual(r.getheader("Content-Type"), ctype)
                for name, value in SECURITY_HEADERS.items():
                    self.assertEqual(r.getheader(name), value)
                self.assertIn("default-src 'self'", r.getheader("Content-Security-Policy"))
                self.assertIn("frame-ancestors 'none'", r.getheader("Content-Security-Policy"))
                c.close()


class Api(unittest.TestCase):
    def test_jobs_list_by_group(self):
        alice, bob = Browser(SERVER, "alice"), Browser(SERVER, "bob")
        names = lambda b: [j["name"] for j in b.get("/api/jobs").json()]
        self.assertIn("SECRET", names(alice))
        self.assertNotIn("SECRET", names(bob))
        echo = [j for j in bob.get("/api/jobs").json() if j["name"] == "ECHO"][0]
        self.assertEqual(echo, {"name": "ECHO", "title": "Echo", "description": "Echoes",
                                "dialog": False, "allowstop": True, "running": False})

    def test_dialog_of_the_example_archive_job(self):
        bob = Browser(SERVER, "bob")
        fixture = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dialogs", "web",
                               "archive-layout.json")
        with open(fixture) as f:
            expected = json.load(f)
        r = bob.get("/api/jobs/ARCHIVE/dialog")
        self.assertEqual(r.status_code, 200)
        layout = r.json()
        for member in ["title", "tabs", "frames", "rows", "fields", "buttons"]:
            self.assertEqual(layout[member], expected[member], member)
        self.assertEqual(layout["listbox"]["rows"], expected["listbox"]["rows"])
        self.assertEqual(layout["banner"]["heading"], "Archive volumes")
        r = bob.get("/api/jobs/ECHO/dialog")
        self.assertEqual((r.status_code, r.json()), (409, {"error": "Job ECHO has no dialog"}))

    def test_install_writes_the_pam_service_when_missing(self):
        with tempfile.TemporaryDirectory() as units, tempfile.TemporaryDirectory() as pam:
            env = dict(os.environ, KESTRUN_UNIT_DIR=units, KESTRUN_PAM_DIR=pam)
            program = os.path.join(SERVER.home, "KestrunServer")
            subprocess.run([program, "-install"], env=env, check=True, capture_output=True)
            with open(os.path.join(pam, "kestrun")) as f:
                self.assertIn("@include common-auth\n@include common-account\n", f.read())
            with open(os.path.join(pam, "kestrun"), "w") as f:
                f.write("mine\n")
            os.remove(os.path.join(units, "KestrunServer.service"))
            subprocess.run([program, "-install"], env=env, check=True, capture_output=True)
            with open(os.path.join(pam, "kestrun")) as f:
                self.assertEqual(f.read(), "mine\n")

    def test_dialog_scripts(self):
        bob = Browser(SERVER, "bob")
        cases = [  # endpoint, body, reply
            ("validate", {"fields": {"1": "ok"}}, {"ok": True, "message": ""}),
            ("validate", {"fields": {"1": "no"}}, {"ok": False, "message": "field 1 must be ok\n"}),
            ("field-script", {"current": "2"}, {"ok": True, "message": "", "fields": ["one", "two"]}),
            ("field-script", {"current": "9"},
             {"ok": False, "message": "Invalid Field Number specified"}),
        ]
        for endpoint, body, reply in cases:
            with self.subTest(endpoint=endpoint, body=body):
                r = bob.post("/api/jobs/FORM/" + endpoint, body)
                self.assertEqual((r.status_code, r.json()), (200, reply))
        box = bob.post("/api/jobs/FORM/listbox-script", {}).json()
        self.assertEqual((box["ok"], box["listbox"]["lines"]), (True, ["a,1", "b,2"]))
        self.assertEqual(bob.post("/api/jobs/FORM/cancel", {}).status_code, 204)
        self.assertIn('bob@127.0.0.1 Running Validation Script', SERVER.log())

    def test_run_with_input_and_history(self):
        alice = Browser(SERVER, "alice")
        first, out, last = alice.run("echo", {"arguments": ["a", "b"], "fields": {"1": "F"}},
                                     stdin=b"hello\n")
        self.assertEqual((first["type"], first["allowstop"]), ("started", True))
        self.assertGreater(first["pid"], 0)
        self.assertEqual(out[1], b"args:a b\nfield1:F\nhello\n")
        self.assertEqual(out[2], b"err\n")
        self.assertEqual(last, {"type": "ended", "exit_code": 3, "outcome": "exited"})
        self.assertIn('alice@127.0.0.1 invoking job "ECHO"', SERVER.log())
        record = alice.get("/api/runs/%d" % first["run"]).json()
        self.assertEqual((record["job"], record["user"], record["node"], record["origin"],
                          record["exit_code"]), ("ECHO", "alice", "127.0.0.1", "web", 3))
        output = alice.get("/api/runs/%d/output" % first["run"]).json()
        self.assertEqual("".join(c["data"] for c in output if c["stream"] == 1),
                         "args:a b\nfield1:F\nhello\n")
        runs = alice.get("/api/history?job=echo&limit=1").json()
        self.assertEqual(runs[0]["id"], first["run"])

    def test_run_refused_and_unknown(self):
        bob = Browser(SERVER, "bob")
        ws = bob.socket("/api/jobs/SLOW/run")
        ws.send("{}")
        started = json.loads(ws.recv())
        self.assertEqual(started["type"], "started")
        first, _, _ = bob.run("LOCKED", {})
        self.assertEqual(first, {"type": "refused",
                                 "message": "bob@127.0.0.1 Cannot run LOCKED - job SLOW is running"})
        first, _, _ = bob.run("SECRET", {})
        self.assertEqual(first, {"type": "refused", "message": "Kestrun Job not found"})
        ws.send(json.dumps({"type": "stop"}))
        while True:
            message = ws.recv()
            if isinstance(message, str) and json.loads(message)["type"] == "ended":
                break
        self.assertEqual(json.loads(message)["outcome"], "stopped")
        ws.close()

    def test_a_browser_that_leaves_does_not_end_the_run(self):
        bob = Browser(SERVER, "bob")
        ws = bob.socket("/api/jobs/TICKS/run")
        ws.send("{}")
        run = json.loads(ws.recv())["run"]
        ws.close()
        record = wait_for(lambda: (lambda r: r if r["outcome"] else None)(
            bob.get("/api/runs/%d" % run).json()), what="the run's end")
        self.assertEqual((record["outcome"], record["exit_code"]), ("exited", 0))
        output = bob.get("/api/runs/%d/output" % run).json()
        self.assertEqual("".join(c["data"] for c in output), "tick 1\ntick 2\ntick 3\ntick 4\n")

    def test_output_crossing_many_batches_arrives_whole_and_in_order(self):
        bob = Browser(SERVER, "bob")
        first, out, last = bob.run("COUNT", {})
        self.assertEqual(first["type"], "started")
        expected = "".join("%d\n" % n for n in range(1, 100001)).encode()
        self.assertEqual((len(out[1]), out[1] == expected, out[2]), (len(expected), True, b""))
        self.assertEqual(last, {"type": "ended", "exit_code": 0, "outcome": "exited"})

    def test_follow_a_running_run(self):
        bob = Browser(SERVER, "bob")
        ws = bob.socket("/api/jobs/TICKS/run")
        ws.send("{}")
        run = json.loads(ws.recv())["run"]
        follow = bob.socket("/api/runs/%d/follow" % run)
        text = b""
        while True:
            opcode, data = follow.recv_data()
            if opcode == websocket.ABNF.OPCODE_BINARY:
                text += data[1:]
            else:
                self.assertEqual(json.loads(data)["type"], "ended")
                break
        self.assertEqual(text, b"tick 1\ntick 2\ntick 3\ntick 4\n")
        ws.close()
        follow.close()

    def test_active_jobs_and_kill(self):
        alice, bob = Browser(SERVER, "alice"), Browser(SERVER, "bob")
        ws = bob.socket("/api/jobs/SLOW/run")
        ws.send("{}")
        started = json.loads(ws.recv())
        pid = started["pid"]
        self.assertIn(pid, [j["pid"] for j in bob.get("/api/active").json()])
        self.assertIn(pid, [j["pid"] for j in alice.get("/api/active").json()])
        carol_view = [j for j in Browser(SERVER, "alice").get("/api/active").json() if j["pid"] == pid]
        self.assertEqual(carol_view[0]["user"], "bob")
        r = bob.post("/api/active/%d/kill" % pid)
        self.assertEqual((r.status_code, r.json()), (403, {"error": "Only administrators may kill jobs"}))
        r = alice.post("/api/active/%d/kill" % pid)
        self.assertEqual((r.status_code, r.json()), (200, {"killed": True, "job": "SLOW"}))
        self.assertIn("Process ID %d (SLOW) terminated successfully" % pid, SERVER.log())
        record = wait_for(lambda: (lambda r: r if r["outcome"] else None)(
            alice.get("/api/runs/%d" % started["run"]).json()), what="the killed run's end")
        self.assertEqual((record["outcome"], record["ended_by"]), ("killed", "KILL_JOB"))
        ws.close()


class KeptJobLists(unittest.TestCase):
    """The job list is kept per user for a second: a reload of kestrun.conf
    shows at once, a changed group membership within the second."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def names(self, browser):
        r = browser.get("/api/jobs")
        self.assertEqual(r.status_code, 200)
        return [job["name"] for job in r.json()]

    def test_a_changed_membership_shows_within_a_second(self):
        alice, bob = Browser(self.server, "alice"), Browser(self.server, "bob")
        self.assertEqual(("SECRET" in self.names(alice), "SECRET" in self.names(bob)),
                         (True, False))
        self.server.write("groups", "ops:bob\nstaff:alice,bob\n")
        start = time.monotonic()
        wait_for(lambda: ("SECRET" not in self.names(alice) and "SECRET" in self.names(bob)),
                 timeout=5, what="the new memberships")
        self.assertLess(time.monotonic() - start, 2.5)
        self.server.write("groups", "ops:alice\nstaff:alice,bob\n")

    def test_a_reloaded_configuration_shows_at_once(self):
        bob = Browser(self.server, "bob")
        self.assertNotIn("FRESH", self.names(bob))
        conf = os.path.join(self.server.home, "kestrun.conf")
        with open(conf, "a") as f:
            f.write("\nFresh:\n    program = $KESTRUNHOME/echo.sh\n    usetty = off\n")
        later = time.time() + 5
        os.utime(conf, (later, later))
        # The server reloads its configuration before a native request.
        subprocess.run([os.path.join(web_support.BIN, "kesclient"), "-p", str(self.server.port),
                        "-u", "bob", "echo"], check=True, stdout=subprocess.DEVNULL)
        self.assertIn("FRESH", self.names(bob))


class Limits(unittest.TestCase):
    def raw(self, data, read=65536):
        with socket.create_connection(("127.0.0.1", SERVER.web_port), timeout=10) as s:
            s.sendall(data)
            return s.recv(read)

    def test_request_limits(self):
        alice = Browser(SERVER, "alice")
        deep = "[" * 33 + "]" * 33
        cases = [  # what, reply status
            (b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 17000 + b"\r\n\r\n", b"431"),
            (b"POST /api/login HTTP/1.1\r\nHost: x\r\nContent-Length: 1048577\r\n\r\n", b"413"),
            (b"NOT HTTP\r\n\r\n", b"400"),
        ]
        for data, status in cases:
            with self.subTest(status=status):
                self.assertTrue(self.raw(data).startswith(b"HTTP/1.1 " + status), status)
        for body, error in [
            ({"fields": {"1": "x" * 4096}}, "the value of field 1 is longer than 4095 bytes"),
            ({"arguments": ["x" * 4096]}, "a value of arguments is longer than 4095 bytes"),
            ({"fields": {"1000": "x"}}, 'fields: "1000" is not a field number from 1 to 999'),
            # A NUL would cut the value short at the program's argument or environment.
            ({"arguments": ["a\0b"]}, "a value of arguments holds a NUL byte"),
            ({"fields": {"2": "a\0b"}}, "the value of field 2 holds a NUL byte"),
            ({"changed": "a\0"}, "changed holds a NUL byte"),
        ]:
            with self.subTest(error=error):
                r = alice.post("/api/jobs/FORM/validate", body)
                self.assertEqual((r.status_code, r.json()), (400, {"error": error}))
        r = alice.http.post(SERVER.url("/api/jobs/FORM/validate"), data=deep,
                            headers={"X-Kestrun-CSRF": alice.csrf})
        self.assertEqual(r.status_code, 400)
        r = alice.post("/api/jobs/" + "X" * 256 + "/validate", {})
        self.assertEqual((r.status_code, r.json()),
                         (400, {"error": "The job name is longer than 255 bytes"}))
        for path in ["/api/runs/1?server=", "/api/runs/1/output?server=", "/api/history?server="]:
            r = alice.get(path + "S" * 256)
            self.assertEqual((r.status_code, r.json()),
                             (400, {"error": "The server name is longer than 255 bytes"}))
        for start in [{"fields": {"1": "x" * 4096}}, {"arguments": ["a\0b"]}]:
            first, _, _ = alice.run("ECHO", start)
            self.assertEqual(first["type"], "refused")

    def test_slow_head_and_silent_peer_are_dropped(self):
        for data in [b"GET / HTTP/1.1\r\n", b""]:
            with self.subTest(data=data):
                with socket.create_connection(("127.0.0.1", SERVER.web_port), timeout=10) as s:
                    s.sendall(data)
                    start = time.monotonic()
                    self.assertEqual(s.recv(100), b"")
                    self.assertLess(time.monotonic() - start, 5)

    def test_oldest_idle_connection_goes_at_the_limit(self):
        sockets = [socket.create_connection(("127.0.0.1", SERVER.web_port)) for _ in range(512)]
        try:
            time.sleep(0.2)
            r = requests.get(SERVER.url("/app.js"))
            self.assertEqual(r.status_code, 200)
            sockets[0].settimeout(5)
            self.assertEqual(sockets[0].recv(10), b"")
        finally:
            for s in sockets:
                s.close()

    def test_websocket_message_over_a_megabyte_closes(self):
        alice = Browser(SERVER, "alice")
        ws = alice.socket("/api/jobs/SLOW/run")
        ws.send("{}")
        json.loads(ws.recv())
        # The server closes (1009) as soon as it reads the frame's length.
        try:
            ws.send_binary(b"x" * (1024 * 1024 + 1))
            opcode, data = ws.recv_data(control_frame=True)
            while opcode == websocket.ABNF.OPCODE_BINARY:
                opcode, data = ws.recv_data(control_frame=True)
            self.assertEqual((opcode, int.from_bytes(data[:2], "big")),
                             (websocket.ABNF.OPCODE_CLOSE, 1009))
        except (BrokenPipeError, ConnectionResetError):
            pass
        runs = alice.get("/api/active").json()
        pid = [j for j in runs if j["job"] == "SLOW"][0]["pid"]
        self.assertEqual(alice.post("/api/active/%d/kill" % pid).status_code, 200)

    def test_a_peer_that_takes_nothing_is_dropped_and_the_run_goes_on(self):
        bob = Browser(SERVER, "bob")
        ws = bob.socket("/api/jobs/LOUD/run")
        ws.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        ws.send("{}")
        run = json.loads(ws.recv())["run"]
        record = wait_for(lambda: (lambda r: r if r["outcome"] else None)(
            bob.get("/api/runs/%d" % run).json()), timeout=20, what="the loud run's end")
        self.assertEqual((record["outcome"], record["output_bytes"]), ("exited", 20000000))
        ws.close()


class Workers(unittest.TestCase):
    """With one worker, a run holds it: other blocking requests are refused
    until the run ends, and then served by the same worker."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server(env={"KESTRUN_WEB_WORKERS": "1"})

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_busy_while_every_worker_is_taken(self):
        bob = Browser(self.server, "bob")
        ws = bob.socket("/api/jobs/TICKS/run")
        ws.send("{}")
        self.assertEqual(json.loads(ws.recv())["type"], "started")
        r = bob.get("/api/jobs")
        self.assertEqual((r.status_code, r.json()), (503, {"error": "The server is busy"}))
        while True:
            opcode, data = ws.recv_data()
            if opcode == websocket.ABNF.OPCODE_TEXT and json.loads(data)["type"] == "ended":
                break
        ws.close()
        names = wait_for(lambda: (lambda r: r.status_code == 200 and r.json())(
            bob.get("/api/jobs")), what="a free worker")
        self.assertIn("TICKS", [job["name"] for job in names])


class Proxy(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server("webauth = proxy\nwebproxyaddresses = {127.0.0.2}\n"
                            "webproxyheader = X-User\n")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def ask(self, source, headers):
        c = http.client.HTTPConnection("127.0.0.1", self.server.web_port,
                                       source_address=(source, 0))
        c.request("GET", "/api/me", headers=headers)
        r = c.getresponse()
        body = r.read()
        c.close()
        return r.status, json.loads(body) if body else None

    def test_user_from_the_header_of_allowed_peers_only(self):
        cases = [  # source, headers, status, user
            ("127.0.0.2", {"X-User": "alice"}, 200, "alice"),
            ("127.0.0.2", {}, 401, None),
            ("127.0.0.1", {"X-User": "alice"}, 403, None),
        ]
        for source, headers, status, user in cases:
            with self.subTest(source=source, headers=headers):
                got_status, body = self.ask(source, headers)
                self.assertEqual(got_status, status)
                if user:
                    self.assertEqual((body["user"], body["admin"]), (user, True))


class Tls(unittest.TestCase):
    def test_https_with_a_self_signed_certificate(self):
        folder = tempfile.mkdtemp(prefix="kestls")
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        server = Server("webcert = %s\nwebkey = %s\n" % (cert, key))
        try:
            alice = Browser(server, "alice", verify=cert)
            self.assertTrue(alice.cookie.endswith("; Secure"))
            self.assertEqual(alice.get("/api/me").json()["user"], "alice")
            ws = alice.socket("/api/jobs/ECHO/run")
            ws.send("{}")
            self.assertEqual(json.loads(ws.recv())["type"], "started")
            ws.close()
            with self.assertRaises(requests.exceptions.ConnectionError):
                requests.get(server.url("/").replace("https", "http"), timeout=5)
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()
