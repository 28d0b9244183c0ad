// Test support: a throwaway PostgreSQL cluster in a temporary folder,
// reached on a Unix socket in that folder only, removed at the end.
//
// initdb refuses to run as root: as root the cluster is made and run as the
// user "nobody" (through runuser). Where neither works (no PostgreSQL
// binaries, no runuser), ready() is false and why() says why: the tests
// skip with that text.
#pragma once

#include <string>

namespace kestrun::test {

class PgCluster {
 public:
  // Makes the cluster and starts it; see ready().
  PgCluster();
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;
  // Stops the cluster (immediately) and removes its folder.
  ~PgCluster();

  bool ready() const { return ready_; }
  const std::string& why() const { return why_; }
  // A libpq connection string for the database "kestrun".
  std::string conninfo() const;
  // Stops and starts the database server; true when it did.
  bool Stop();
  bool Start();

 private:
  bool Run(const std::string& command);
  std::string dir_;
  std::string bin_;
  bool asNobody_ = false;
  bool ready_ = false;
  std::string why_;
};

}  // namespace kestrun::test
