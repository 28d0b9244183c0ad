#include "tests/support/pg_cluster.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace kestrun::test {

namespace {

constexpr const char* kPostgresBin = "/usr/lib/postgresql/15/bin";

}  // namespace

PgCluster::PgCluster() : bin_(kPostgresBin) {
  namespace fs = std::filesystem;
  if (!fs::exists(bin_ + "/initdb")) {
    why_ = "PostgreSQL 15 is not installed (" + bin_ + "/initdb)";
    return;
  }
  char pattern[] = "/tmp/kes-pg-XXXXXX";
  if (!::mkdtemp(pattern)) {
    why_ = "cannot make a temporary folder";
    return;
  }
  dir_ = pattern;
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody || !fs::exists("/usr/sbin/runuser") ||
        ::chown(dir_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
      why_ = "running as root, and cannot run PostgreSQL as nobody (runuser)";
      return;
    }
    asNobody_ = true;
  }
  if (!Run(bin_ + "/initdb -D " + dir_ + "/data -U kestrun --auth=trust -E UTF8 --no-sync >" +
           dir_ + "/initdb.log 2>&1")) {
    why_ = "initdb failed (see " + dir_ + "/initdb.log)";
    return;
  }
  if (!Start()) {
    why_ = "pg_ctl start failed";
    return;
  }
  if (std::system(("psql -q -h " + dir_ +
                   " -U kestrun -d postgres -c 'CREATE DATABASE kestrun'"
                   " >/dev/null 2>&1")
                      .c_str()) != 0) {
    why_ = "cannot create the test database";
    return;
  }
  ready_ = true;
}

PgCluster::~PgCluster() {
  if (dir_.empty()) return;
  if (std::filesystem::exists(dir_ + "/data/postmaster.pid"))
    Run(bin_ + "/pg_ctl -D " + dir_ + "/data -m immediate -w stop >/dev/null 2>&1");
  std::error_code error;
  std::filesystem::remove_all(dir_, error);
}

bool PgCluster::Run(const std::string& command) {
  const std::string line =
      asNobody_ ? "cd / && /usr/sbin/runuser -u nobody -- sh -c '" + command + "'" : command;
  return std::system(line.c_str()) == 0;
}

std::string PgCluster::conninfo() const {
  return "host=" + dir_ + " user=kestrun dbname=kestrun";
}

bool PgCluster::Stop() {
  return Run(bin_ + "/pg_ctl -D " + dir_ + "/data -m fast -w stop >/dev/null 2>&1");
}

bool PgCluster::Start() {
  // Only the socket in the folder: nothing listens on the network. fsync off:
  // the cluster lives as long as the test.
  return Run(bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log -w -o \"-k " + dir_ +
             " -c listen_addresses= -c fsync=off -c full_page_writes=off\" start >/dev/null 2>&1");
}

}  // namespace kestrun::test
