"""Two servers, each with its web console, sharing one run history in a
throwaway PostgreSQL cluster: the Servers API, the server filter of the
history, another server's runs and output read here, and the visibility rule
across servers."""
import json
import socket
import subprocess
import time
import unittest

from pg_cluster import PgCluster
from web_support import Browser, Server, wait_for

# PRIVATE is everybody's on alpha and the ops group's on beta.
PRIVATE = "\nPrivate:\n    program = $KESTRUNHOME/echo.sh\n    usetty = off\n%s\n"


def setUpModule():
    global CLUSTER, ALPHA, BETA
    CLUSTER = PgCluster()
    shared = "history = %s\nservername = %%s\n" % CLUSTER.conninfo
    ALPHA = Server(shared % "alpha" + "webaddress = 0.0.0.0\n" + PRIVATE % "")
    BETA = Server(shared % "beta" + PRIVATE % "    group = ops")


def tearDownModule():
    ALPHA.stop()
    BETA.stop()
    CLUSTER.stop()


def servers(browser):
    reply = browser.get("/api/servers")
    assert reply.status_code == 200, reply.text
    return reply.json()


class Fleet(unittest.TestCase):
    def test_servers_lists_both_with_console_and_state(self):
        expected = {"alpha": "http://%s:%d" % (socket.gethostname(), ALPHA.web_port),
                    "beta": "http://127.0.0.1:%d" % BETA.web_port}
        for server in (ALPHA, BETA):
            bob = Browser(server, "bob")

            def with_consoles():
                r = servers(bob)
                return r if {s["name"]: s["console"] for s in r["servers"]} == expected else None

            reply = wait_for(with_consoles, what="both heartbeats with their consoles")
            self.assertTrue(reply["fleet"])
            self.assertEqual(reply["this"], "alpha" if server is ALPHA else "beta")
            for row in reply["servers"]:
                self.assertEqual((row["state"], row["version"], row["this"]),
                                 ("up", "2.3", row["name"] == reply["this"]))
                self.assertLess(abs(row["last_seen"] - time.time() * 1000), 60000)

    def test_stale_heartbeat_reads_not_seen(self):
        old = int(time.time() * 1000) - 121000
        CLUSTER.sql("INSERT INTO kestrun_servers(name, console, version, running, last_seen)"
                    " VALUES('gone', '', '2.2', 0, %d)" % old)
        try:
            rows = {s["name"]: s for s in servers(Browser(BETA, "alice"))["servers"]}
            self.assertEqual(rows["gone"]["state"], "not seen for 2 minutes")
            self.assertEqual(rows["gone"]["last_seen"], old)
        finally:
            CLUSTER.sql("DELETE FROM kestrun_servers WHERE name = 'gone'")

    def test_own_row_is_live_whatever_the_database_holds(self):
        # A server whose heartbeat has not reached the database (or whose
        # row is old) still shows itself as up.
        def beta_row():  # the table is made by the servers' senders, once they connect
            try:
                return CLUSTER.sql("SELECT count(*) FROM kestrun_servers WHERE name = 'beta'").strip() == "1"
            except subprocess.CalledProcessError:
                return False

        wait_for(beta_row, what="beta's first heartbeat")
        old = int(time.time() * 1000) - 121000
        CLUSTER.sql("UPDATE kestrun_servers SET last_seen = %d WHERE name = 'beta'" % old)
        try:
            rows = {s["name"]: s for s in servers(Browser(BETA, "alice"))["servers"]}
            self.assertEqual(rows["beta"]["state"], "up")
            self.assertGreater(rows["beta"]["last_seen"], old + 100000)
        finally:
            CLUSTER.sql("UPDATE kestrun_servers SET last_seen = %d WHERE name = 'beta'"
                        % int(time.time() * 1000))

    def test_runs_of_every_server_by_the_visibility_rule(self):
        on_alpha = Browser(ALPHA, "bob")
        for job in ("Echo", "Private"):
            _, _, last = on_alpha.run(job, {"arguments": ["x"]})
            self.assertEqual(last["type"], "ended")
        _, _, last = Browser(BETA, "bob").run("Echo", {})
        self.assertEqual(last["type"], "ended")

        def runs(browser, query):
            reply = browser.get("/api/runs?" + query)
            self.assertEqual(reply.status_code, 200, reply.text)
            return sorted((r["server"], r["job"]) for r in reply.json())

        both = [("alpha", "ECHO"), ("alpha", "PRIVATE"), ("beta", "ECHO")]
        alice_beta = Browser(BETA, "alice")
        wait_for(lambda: runs(alice_beta, "server=all") == both, what="both servers' runs")
        cases = [  # server asked, user, query, records
            (BETA, "alice", "server=all", both),
            # bob may not run PRIVATE on beta: alpha's PRIVATE runs stay hidden there.
            (BETA, "bob", "server=all", [("alpha", "ECHO"), ("beta", "ECHO")]),
            (BETA, "bob", "server=alpha", [("alpha", "ECHO")]),
            (ALPHA, "bob", "server=all", both),
            (ALPHA, "bob", "server=beta&job=echo", [("beta", "ECHO")]),
            # Without a server the local history, each record named.
            (BETA, "bob", "", [("beta", "ECHO")]),
            (ALPHA, "bob", "", [("alpha", "ECHO"), ("alpha", "PRIVATE")]),
        ]
        for server, user, query, expected in cases:
            with self.subTest(server=server.home, user=user, query=query):
                self.assertEqual(runs(Browser(server, user), query), expected)
        self.assertEqual(Browser(BETA, "bob").get("/api/runs?server=" + "x" * 256).status_code, 400)


    # Named to run after the test above (unittest goes by name): it adds runs.
    def test_then_another_servers_record_and_output_read_here(self):
        on_alpha = Browser(ALPHA, "bob")
        for job in ("Echo", "Private"):
            _, _, last = on_alpha.run(job, {"arguments": ["x"]})
            self.assertEqual(last["type"], "ended")
        newest = {}
        for r in on_alpha.get("/api/runs?limit=1000").json():
            newest.setdefault(r["job"], r["id"])
        echo, private = newest["ECHO"], newest["PRIVATE"]
        own = on_alpha.get("/api/runs/%d/output" % echo).json()
        for stream, text in ((1, "args:x\nfield1:\n"), (2, "err\n")):
            self.assertEqual("".join(p["data"] for p in own if p["stream"] == stream), text)
        bob = Browser(BETA, "bob")

        def output(browser, run):
            reply = browser.get("/api/runs/%d/output?server=alpha" % run)
            return reply.json() if reply.status_code == 200 else None
        wait_for(lambda: output(bob, echo) == own, what="alpha's output in the database")
        record = on_alpha.get("/api/runs/%d" % echo).json()
        wait_for(lambda: bob.get("/api/runs/%d?server=alpha" % echo).json() == record,
                 what="alpha's record in the database")
        # bob may not run PRIVATE on beta; alice (ops, an administrator) sees it.
        wait_for(lambda: output(Browser(BETA, "alice"), private), what="alpha's PRIVATE output")
        cases = [  # path, status for bob on beta
            ("/api/runs/%d?server=alpha" % private, 404),
            ("/api/runs/%d/output?server=alpha" % private, 404),
            ("/api/runs/%d/output?server=nobody" % echo, 404),
            ("/api/runs/999999/output?server=alpha", 404),
        ]
        for path, status in cases:
            with self.subTest(path=path):
                reply = bob.get(path)
                self.assertEqual(reply.status_code, status, reply.text)
                self.assertIn("not found", reply.json()["error"])
        # A running run's output reaches the other server while it runs
        # (Echo waits for the end of its input).
        ws = on_alpha.socket("/api/jobs/Echo/run")
        ws.send(json.dumps({"arguments": ["live"]}))
        started = json.loads(ws.recv())
        self.assertEqual(started["type"], "started")
        t0 = time.monotonic()
        # Standard error's line may be stored first: its pump reads apart.
        wait_for(lambda: "".join(p["data"] for p in output(bob, started["run"]) or []
                                 if p["stream"] == 1).startswith("args:live"),
                 what="the running run's output")
        self.assertLess(time.monotonic() - t0, 3.0)
        self.assertEqual(bob.get("/api/runs/%d?server=alpha" % started["run"]).json()["outcome"], "")
        ws.send(json.dumps({"type": "eof"}))
        ws.close()


class Alone(unittest.TestCase):
    def test_servers_without_a_shared_history_is_this_server(self):
        server = Server("servername = solo\n")
        try:
            bob = Browser(server, "bob")
            reply = servers(bob)
            self.assertEqual((reply["fleet"], reply["this"]), (False, "solo"))
            self.assertEqual([(s["name"], s["console"], s["state"], s["this"])
                              for s in reply["servers"]],
                             [("solo", "http://127.0.0.1:%d" % server.web_port, "up", True)])
            bob.run("Echo", {})
            runs = bob.get("/api/runs?server=all").json()
            self.assertEqual([(r["server"], r["job"]) for r in runs], [("solo", "ECHO")])
            self.assertEqual(bob.get("/api/runs?server=other").json(), [])
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()
