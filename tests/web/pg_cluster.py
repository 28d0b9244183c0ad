"""Test support: a throwaway PostgreSQL cluster in a temporary folder,
reached on a Unix socket in that folder only, removed by stop()."""
import os
import pwd
import shutil
import subprocess
import tempfile

PG_BIN = "/usr/lib/postgresql/15/bin"


class PgCluster:
    """initdb in a temporary folder, served on a Unix socket there only
    (as nobody when the tests run as root: initdb refuses root)."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kes-pg-")
        self.as_nobody = os.geteuid() == 0
        if self.as_nobody:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.dir, nobody.pw_uid, nobody.pw_gid)
        self.run("%s/initdb -D %s/data -U kestrun --auth=trust -E UTF8 --no-sync"
                 % (PG_BIN, self.dir))
        self.run('%s/pg_ctl -D %s/data -l %s/server.log -w -o "-k %s -c listen_addresses='
                 ' -c fsync=off" start' % (PG_BIN, self.dir, self.dir, self.dir))
        self.sql("CREATE DATABASE kestrun", database="postgres")
        self.conninfo = "host=%s user=kestrun dbname=kestrun" % self.dir

    def run(self, command):
        if self.as_nobody:
            command = ["/usr/sbin/runuser", "-u", "nobody", "--", "sh", "-c", command]
        subprocess.run(command, shell=not self.as_nobody, cwd="/", check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def sql(self, text, database="kestrun"):
        """Runs `text`; returns what it selects, unaligned, one row a line."""
        return subprocess.run([PG_BIN + "/psql", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                               "-h", self.dir, "-U", "kestrun", "-d", database, "-c", text],
                              check=True, capture_output=True, text=True).stdout

    def stop(self):
        self.run("%s/pg_ctl -D %s/data -m immediate -w stop" % (PG_BIN, self.dir))
        shutil.rmtree(self.dir, ignore_errors=True)
