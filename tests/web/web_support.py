"""Test support for the web console: a server home with jobs, groups and a
throwaway PAM configuration, the real KestrunServer serving in it, and
small HTTP and WebSocket helpers."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import requests
import websocket

BIN = os.environ.get("KES_BIN", "")
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "home")
LIB = os.environ.get("KES_LIB", "")

# alice is an administrator (group ops); bob is not.
PASSWORDS = {"alice": "secret", "bob": "hunter2"}

CHECK_PASSWORD = """#!/usr/bin/python3
import os, sys
users = %r
token = sys.stdin.buffer.read().split(b"\\0")[0].rstrip(b"\\n").decode()
sys.exit(0 if users.get(os.environ.get("PAM_USER")) == token else 1)
""" % PASSWORDS

SCRIPTS = {
    "echo.sh": '#!/bin/sh\necho "args:$*"\necho "field1:$KESFIELD1"\necho err >&2\ncat\nexit 3\n',
    "slow.sh": "#!/bin/sh\necho started\nexec sleep 30\n",
    "ticks.sh": '#!/bin/sh\nfor i in 1 2 3 4; do echo "tick $i"; sleep 0.3; done\n',
    "loud.sh": "#!/bin/sh\nhead -c 20000000 /dev/zero\n",
    "count.sh": "#!/bin/sh\nseq 1 100000\n",
    "validate.sh": '#!/bin/sh\n[ "$KESFIELD1" = ok ] && exit 0\necho "field 1 must be ok" >&2\nexit 2\n',
    "field.sh": '#!/bin/sh\nprintf "one\\r\\ntwo\\r\\n"\n',
    "listbox.sh": '#!/bin/sh\nprintf "a,1\\r\\nb,2\\r\\n"\n',
}

JOBS = """
Echo:
    program = $KESTRUNHOME/echo.sh
    title = Echo
    helptext = Echoes
    usetty = off

Slow:
    program = $KESTRUNHOME/slow.sh
    allowstop = on
    usetty = off

Ticks:
    program = $KESTRUNHOME/ticks.sh
    usetty = off

Loud:
    program = $KESTRUNHOME/loud.sh
    usetty = off

Count:
    program = $KESTRUNHOME/count.sh
    usetty = off

Locked:
    program = $KESTRUNHOME/echo.sh
    denyifjobrunning = {SLOW}
    usetty = off

Secret:
    program = $KESTRUNHOME/echo.sh
    group = ops
    usetty = off

Form:
    program = $KESTRUNHOME/echo.sh
    dialog = $KESTRUNHOME/form.dlg
    validatewith = $KESTRUNHOME/validate.sh
    populatefield2with = $KESTRUNHOME/field.sh
    listbox = on
    listboxscript = $KESTRUNHOME/listbox.sh
    columnnames = {Name,Size}
    usetty = off
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, timeout=10.0, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class Server:
    """KestrunServer in a fresh home with the web console on."""

    def __init__(self, web_settings="", env=None):
        self.home = tempfile.mkdtemp(prefix="kesweb")
        shutil.copy(os.path.join(BIN, "KestrunServer"), self.home)
        for name, text in SCRIPTS.items():
            self.write(name, text, 0o755)
        self.write("form.dlg", "Name: [__________]\nKind: {______}\n")
        self.write("groups", "ops:alice\nstaff:alice,bob\n")
        pam = os.path.join(self.home, "pam")
        os.mkdir(pam)
        self.write("check_password", CHECK_PASSWORD, 0o755)
        self.write("pam/kestrun", "auth required pam_exec.so expose_authtok quiet %s\n"
                   "account required pam_permit.so\n" % os.path.join(self.home, "check_password"))
        os.mkdir(os.path.join(self.home, "web"))
        self.write("web/index.html", "<!doctype html><title>Kestrun</title>\n")
        self.write("web/app.js", "console.log('kestrun');\n")
        self.write("secret.txt", "not for browsers\n")
        for folder in ["dialogs", "icons", "scripts"]:
            shutil.copytree(os.path.join(EXAMPLE, folder), os.path.join(self.home, folder))
        with open(os.path.join(EXAMPLE, "kestrun.conf")) as f:
            example = f.read()
        archive = example[example.index("\nArchive:"):]
        end = archive.find("\n\n", 1)
        archive = archive if end < 0 else archive[:end + 1]
        environment = dict(os.environ, KESTRUN_PAM_CONFDIR=pam,
                           KESGP_FILE=os.path.join(self.home, "groups"))
        environment.update(env or {})
        # A free port may be taken (by another test's server, or as the
        # local port of some connection) before this one binds it: then the
        # server ends, or its console cannot listen, and it is started again
        # on other ports.
        for attempt in range(5):
            self.port = free_port()
            self.web_port = free_port()
            self.write("kestrun.conf", "port = %d\nlogfile = $KESTRUNHOME/server.log\n"
                       "groupprocessor = %s/kesgp_file.so\nwebport = %d\nwebadmins = {auditors, ops}\n%s\n%s%s"
                       % (self.port, LIB, self.web_port, web_settings, JOBS, archive))
            self.process = subprocess.Popen([os.path.join(self.home, "KestrunServer")],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                            env=environment)
            wait_for(lambda: self.process.poll() is not None or "Web console listening" in self.log()
                     or "The web console could not start" in self.log(), what="the server's start")
            if self.process.poll() is None:
                if not re.search(r"The web console could not start: could not listen on "
                                 r"\S+:%d: Address already in use" % self.web_port, self.log()):
                    break
                self.process.kill()
                self.process.wait()
            self.process.stderr.close()
            os.remove(os.path.join(self.home, "server.log"))
        wait_for(lambda: "Web console listening" in self.log(), what="the web console")
        self.scheme = "https" if "webcert" in web_settings else "http"
        self.origin = "%s://127.0.0.1:%d" % (self.scheme, self.web_port)

    def write(self, name, text, mode=0o644):
        path = os.path.join(self.home, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)

    def log(self):
        try:
            with open(os.path.join(self.home, "server.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def url(self, path):
        return self.origin + path

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self.home, ignore_errors=True)


class Browser:
    """A logged-in requests session with its CSRF token."""

    def __init__(self, server, user, verify=True):
        self.server = server
        self.user = user
        self.http = requests.Session()
        # The environment's CA bundle would override a session's own.
        self.http.trust_env = False
        self.http.verify = verify
        self.sslopt = {"ca_certs": verify} if isinstance(verify, str) else None
        reply = self.http.post(server.url("/api/login"),
                               json={"user": user, "password": PASSWORDS[user]})
        assert reply.status_code == 200, reply.text
        self.csrf = reply.json()["csrf"]
        self.cookie = reply.headers["Set-Cookie"]

    def get(self, path, **kw):
        return self.http.get(self.server.url(path), **kw)

    def post(self, path, body=None, csrf=True, **kw):
        headers = {"X-Kestrun-CSRF": self.csrf} if csrf else {}
        return self.http.post(self.server.url(path), json=body, headers=headers, **kw)

    def socket(self, path, origin=None, **kw):
        token = self.http.cookies.get("kestrun_session")
        ws_url = self.server.url(path).replace("http", "ws", 1)
        return websocket.create_connection(
            ws_url, origin=origin or self.server.origin, cookie="kestrun_session=" + token,
            sslopt=self.sslopt, timeout=15, **kw)

    def run(self, job, start, stdin=b"", eof=True, stop=False):
        """Runs `job` over its WebSocket; returns (first message, output, last)."""
        ws = self.socket("/api/jobs/%s/run" % job)
        ws.send(json.dumps(start))
        first = json.loads(ws.recv())
        out = {1: b"", 2: b""}
        if first["type"] != "started":
            ws.close()
            return first, out, first
        if stdin:
            ws.send_binary(stdin)
        if eof:
            ws.send(json.dumps({"type": "eof"}))
        if stop:
            ws.send(json.dumps({"type": "stop"}))
        while True:
            opcode, data = ws.recv_data()
            if opcode == websocket.ABNF.OPCODE_BINARY:
                out[data[0]] += data[1:]
            elif opcode == websocket.ABNF.OPCODE_TEXT:
                last = json.loads(data)
                if last["type"] == "ended":
                    break
            else:
                raise AssertionError("closed before the end")
        ws.close()
        return first, out, last
