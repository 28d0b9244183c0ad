// A small owner layer over libpq: a connection and a query's result, each
// released by its destructor. Values only ever reach the server as bound
// parameters (text format); the SQL texts given here are fixed texts of the
// code.
//
// A Connection belongs to one thread at a time (its owner serialises its
// users).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;
struct pg_cancel;

namespace kestrun::pg {

// One query's rows; every value as text ("" for NULL).
class Result {
 public:
  Result() = default;
  explicit Result(pg_result* result) : result_(result) {}
  Result(Result&& other) noexcept;
  Result& operator=(Result&& other) noexcept;
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ~Result();

  // True when the command succeeded (with or without rows).
  bool ok() const;
  // The SQLSTATE of a failed command ("" when none).
  std::string SqlState() const;
  int rows() const;
  std::string Text(int row, int column) const;
  int64_t Int(int row, int column) const;
  // Bytes of a bytea column (sent and read as hex text).
  std::string Bytes(int row, int column) const;

 private:
  pg_result* result_ = nullptr;
};

// Parameters of one query, in order ($1, $2, ...); kept as text.
class Params {
 public:
  Params& Add(std::string_view text);
  Params& Add(int64_t value);
  // Bytes for a bytea parameter (any byte, NUL included).
  Params& AddBytes(std::string_view bytes);
  Params& AddNull();
  size_t size() const { return values_.size(); }

 private:
  friend class Connection;
  std::vector<std::optional<std::string>> values_;
};

// Cancels the query running on a connection, from any thread.
class Canceller {
 public:
  explicit Canceller(pg_cancel* cancel) : cancel_(cancel) {}
  Canceller(Canceller&& other) noexcept;
  Canceller& operator=(Canceller&& other) noexcept;
  Canceller(const Canceller&) = delete;
  Canceller& operator=(const Canceller&) = delete;
  ~Canceller();
  void Cancel();

 private:
  pg_cancel* cancel_ = nullptr;
};

class Connection {
 public:
  // Connects with a libpq connection string or URI, waiting at most
  // `timeoutSeconds`; nullopt with `*error` set to libpq's text.
  static std::optional<Connection> Open(const std::string& conninfo, int timeoutSeconds,
                                        std::string* error);
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // Runs fixed SQL text (one or more statements without parameters).
  bool Execute(const char* sql);
  // Runs one fixed SQL text with bound parameters.
  Result Query(const char* sql, const Params& params = {});
  // The canceller of this connection's queries.
  Canceller MakeCanceller() const;
  // False once the connection broke (the server went away).
  bool Alive() const;
  std::string ErrorText() const;

 private:
  explicit Connection(pg_conn* conn) : conn_(conn) {}
  pg_conn* conn_ = nullptr;
};

// Whether `setting` names a PostgreSQL database rather than a file: a
// postgresql:// or postgres:// URI, or a key=value connection string.
bool IsConnectionString(const std::string& setting);

}  // namespace kestrun::pg
