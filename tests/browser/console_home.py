"""A real KestrunServer home for the browser tests, the screenshots and the
page benchmark: the example home with the built programs, the console's
pages (staged by the build in <build>/web) and a web listener on a free
loopback port.

Logins go through a throwaway PAM configuration (the server reads it from
KESTRUN_PAM_CONFDIR): every user logs in with any password except the users
listed in DENIED, whom pam_listfile turns away.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

DENIED = ("mallory",)
# Groups of the test home (kesgp_file): alice administers the console and
# may run the finance job; bob may do neither.
GROUPS = "admins:alice\nfinance:alice\n"

EXTRA_JOBS = """
Payroll:
    program = $KESTRUNHOME/scripts/countdown.sh
    title = Payroll
    helptext = Only the finance group sees this job
    group = finance

Checked:
    program = $KESTRUNHOME/scripts/showvars.sh
    title = Checked input
    helptext = Its validation refuses an empty name
    dialog = $KESTRUNHOME/dialogs/checked.dlg
    validatewith = $KESTRUNHOME/scripts/needname.sh

Markup:
    program = $KESTRUNHOME/scripts/markup.sh
    title = <b>Bold</b> & <i>tags</i>
    helptext = <img src=x> stays text
    usetty = off

Flood:
    program = $KESTRUNHOME/scripts/flood.py
    title = Flood
    helptext = Writes LINES coloured lines, at RATE MB/s (0: as fast as it can)
    usetty = off
    historyoutput = 16777216
"""

SCRIPTS = {
    # The variables a dialog gives the job, in a stable order; the node, the
    # standard-input file name and the run's own marker differ between
    # clients and runs by nature.
    "showvars.sh": "#!/bin/sh\nenv | LC_ALL=C sort | grep -E '^(KES|KIND_|VOLUME_|SIZE_|STATE_|NAME_)' "
                   "| grep -v -E '^KES(CLIENTNODENAME|STDINFILENAME|RUNMARKER)='\n",
    "needname.sh": "#!/bin/sh\n[ -n \"$KESFIELD1\" ] && exit 0\necho 'Name must not be empty' >&2\nexit 1\n",
    "markup.sh": "#!/bin/sh\nprintf '<script>alert(1)</script>\\n'\n",
}

# FLOOD LINES [RATE [ask]]: numbered lines of 100 bytes with colour
# sequences, written in blocks of 1,000 lines, at RATE MB/s (0, the default:
# as fast as the reader takes them). With "ask" it then reads a line of its
# standard input, writes "got LINE" and LINES more lines, numbered on.
# flood_line() gives the same lines to the tests.
FLOOD_SUFFIX = (" \x1b[32mok\x1b[0m \x1b[1;34mflood\x1b[0m " + "x" * 50 + " \x1b[31m|\x1b[0m\n")
FLOOD_SCRIPT = f"""#!/usr/bin/python3
import sys, time
lines = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
rate = float(sys.argv[2]) * 1e6 if len(sys.argv) > 2 else 0.0
ask = sys.argv[3:4] == ["ask"]
suffix = {FLOOD_SUFFIX!r}.encode()
out = sys.stdout.buffer
start = time.monotonic()
written = 0
def flood(first, last):
    global written
    for n in range(first, last + 1, 1000):
        block = b"".join(b"%08d" % i + suffix for i in range(n, min(n + 1000, last + 1)))
        out.write(block)
        out.flush()
        written += len(block)
        ahead = written / rate - (time.monotonic() - start) if rate > 0 else 0
        if ahead > 0:
            time.sleep(ahead)
flood(1, lines)
if ask:
    out.write(b"got " + sys.stdin.buffer.readline())
    out.flush()
    flood(lines + 1, 2 * lines)
"""
SCRIPTS["flood.py"] = FLOOD_SCRIPT


def flood_line(n, colours=True):
    """Line n (from 1) of FLOOD's output, without its newline; without the
    colour sequences it is the text a terminal shows."""
    line = f"{n:08d}" + FLOOD_SUFFIX[:-1]
    return line if colours else re.sub(r"\x1b\[[0-9;]*m", "", line)


FLOOD_LINE_BYTES = len(flood_line(1)) + 1


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def source_dir():
    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class ConsoleHome:
    """make() builds the home; start() runs the server; stop() ends it and
    removes the home."""

    def __init__(self, build, test_jobs=True):
        self.build = os.path.abspath(build)
        self.dir = tempfile.mkdtemp(prefix="kes-console-")
        self.home = os.path.join(self.dir, "home")
        self.port = free_port()
        self.webport = free_port()
        self.server = None
        self.base = f"http://127.0.0.1:{self.webport}"
        self.test_jobs = test_jobs

    def make(self):
        src = source_dir()
        shutil.copytree(os.path.join(src, "examples", "home"), self.home, symlinks=True)
        for program in ("KestrunServer", "kestrunTTY", "kesclient"):
            shutil.copy2(os.path.join(self.build, "bin", program), self.home)
        shutil.copy2(os.path.join(self.build, "lib", "kesgp_file.so"), self.home)
        web = os.path.join(self.build, "web")
        if not os.path.isfile(os.path.join(web, "index.html")):
            raise RuntimeError(f"{web} holds no pages: build the target kes_web_ui")
        shutil.copytree(web, os.path.join(self.home, "web"))
        for name, text in SCRIPTS.items():
            path = os.path.join(self.home, "scripts", name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        with open(os.path.join(self.home, "dialogs", "checked.dlg"), "w") as f:
            f.write("Name:   [____________________]\n")
        with open(os.path.join(self.home, "groups.txt"), "w") as f:
            f.write(GROUPS)
        pam = os.path.join(self.dir, "pam")
        os.mkdir(pam)
        with open(os.path.join(pam, "denied"), "w") as f:
            f.write("\n".join(DENIED) + "\n")
        with open(os.path.join(pam, "kestrun"), "w") as f:
            f.write(f"auth requisite pam_listfile.so item=user sense=deny file={pam}/denied onerr=fail\n"
                    "auth required pam_permit.so\n"
                    "account required pam_permit.so\n")
        self.pam = pam
        self.write_config()
        return self

    def write_config(self):
        path = os.path.join(self.home, "kestrun.conf")
        with open(path) as f:
            text = f.read()
        # The example's own listener settings give way to free ports.
        text = re.sub(r"(?im)^\s*(port|webport|webaddress|webadmins|webinsecure|groupprocessor)\s*=.*\n", "", text)
        head = (f"port = {self.port}\n"
                f"webport = {self.webport}\n"
                "webaddress = 127.0.0.1\n"
                "webadmins = admins\n"
                f"groupprocessor = {self.home}/kesgp_file.so\n")
        text = head + text
        if self.test_jobs:
            text = text.replace("$KESTRUNHOME/scripts/archive.sh", "$KESTRUNHOME/scripts/showvars.sh")
            text += EXTRA_JOBS
        with open(path, "w") as f:
            f.write(text)

    def start(self):
        # A free port may be taken (by another test's server, or as the local
        # port of some connection) before the server binds it: then it is
        # started again on other ports.
        for _ in range(5):
            if self.start_once():
                return self
            self.stop_server()
            self.log.close()
            os.remove(os.path.join(self.home, "kestrun.log"))
            self.port = free_port()
            self.webport = free_port()
            self.base = f"http://127.0.0.1:{self.webport}"
            self.write_config()
        raise RuntimeError("no two free ports in five tries:\n" + self.output())

    def start_once(self):
        """True once the console answers; False when a port was taken."""
        env = dict(os.environ)
        env["KESTRUN_PAM_CONFDIR"] = self.pam
        env["KESGP_FILE"] = os.path.join(self.home, "groups.txt")
        env.pop("KESREASON", None)
        self.log = open(os.path.join(self.dir, "server.out"), "w")
        self.server = subprocess.Popen([os.path.join(self.home, "KestrunServer")], cwd=self.home,
                                       env=env, stdin=subprocess.DEVNULL, stdout=self.log,
                                       stderr=subprocess.STDOUT, start_new_session=True)
        taken = re.compile(r"could not listen on (port %d|\S+:%d): Address already in use"
                           % (self.port, self.webport))
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if taken.search(self.server_log()):
                return False
            if self.server.poll() is not None:
                if taken.search(self.server_log()):
                    return False
                raise RuntimeError("KestrunServer ended at start:\n" + self.output())
            # The server's own line, not a connection: another process may
            # listen on a port taken meanwhile.
            if "Web console listening" in self.server_log():
                return True
            time.sleep(0.05)
        raise RuntimeError("the web listener did not come up:\n" + self.output())

    def stop_server(self):
        if self.server and self.server.poll() is None:
            os.killpg(self.server.pid, signal.SIGTERM)
            try:
                self.server.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.server.pid, signal.SIGKILL)
                self.server.wait()

    def output(self):
        try:
            with open(os.path.join(self.dir, "server.out")) as f:
                return f.read()
        except OSError:
            return ""

    def server_log(self):
        try:
            with open(os.path.join(self.home, "kestrun.log")) as f:
                return f.read()
        except OSError:
            return ""

    def kesclient(self, user, *args, **popen):
        """A kesclient of the home asking this server as user@127.0.0.1."""
        argv = [os.path.join(self.home, "kesclient"), "-s", "127.0.0.1", "-p", str(self.port),
                "-u", user, "-n", "127.0.0.1", *args]
        return subprocess.Popen(argv, **popen)

    def stop(self):
        self.stop_server()
        if getattr(self, "log", None):
            self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
