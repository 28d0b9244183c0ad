#include "history/postgres.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <utility>

namespace kestrun::pg {

Result::Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}

Result& Result::operator=(Result&& other) noexcept {
  if (this != &other) {
    PQclear(result_);
    result_ = std::exchange(other.result_, nullptr);
  }
  return *this;
}

Result::~Result() {
  PQclear(result_);
}

bool Result::ok() const {
  if (!result_) return false;
  const ExecStatusType status = PQresultStatus(result_);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string Result::SqlState() const {
  const char* state = result_ ? PQresultErrorField(result_, PG_DIAG_SQLSTATE) : nullptr;
  return state ? state : "";
}

int Result::rows() const {
  return ok() ? PQntuples(result_) : 0;
}

std::string Result::Text(int row, int column) const {
  if (PQgetisnull(result_, row, column)) return {};
  return std::string(PQgetvalue(result_, row, column),
                     static_cast<size_t>(PQgetlength(result_, row, column)));
}

int64_t Result::Int(int row, int column) const {
  if (PQgetisnull(result_, row, column)) return 0;
  return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
}

std::string Result::Bytes(int row, int column) const {
  if (PQgetisnull(result_, row, column)) return {};
  size_t size = 0;
  unsigned char* bytes = PQunescapeBytea(
      reinterpret_cast<const unsigned char*>(PQgetvalue(result_, row, column)), &size);
  if (!bytes) return {};
  std::string out(reinterpret_cast<const char*>(bytes), size);
  PQfreemem(bytes);
  return out;
}

std::optional<Connection> Connection::Open(const std::string& conninfo, int timeoutSeconds,
                                           std::string* error) {
  // The timeout goes as a keyword of its own, beside the user's string.
  const std::string timeout = std::to_string(timeoutSeconds);
  const char* keywords[] = {"dbname", "connect_timeout", "application_name", nullptr};
  const char* values[] = {conninfo.c_str(), timeout.c_str(), "kestrun", nullptr};
  pg_conn* conn = PQconnectdbParams(keywords, values, /*expand_dbname=*/1);
  if (!conn || PQstatus(conn) != CONNECTION_OK) {
    if (error) *error = conn ? PQerrorMessage(conn) : "out of memory";
    while (error && !error->empty() && (error->back() == '\n' || error->back() == ' '))
      error->pop_back();
    PQfinish(conn);
    return std::nullopt;
  }
  // Notices (a table that already exists, ...) are not the server log's.
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  return Connection(conn);
}

Connection::Connection(Connection&& other) noexcept : conn_(std::exchange(other.conn_, nullptr)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    PQfinish(conn_);
    conn_ = std::exchange(other.conn_, nullptr);
  }
  return *this;
}

Connection::~Connection() {
  PQfinish(conn_);
}

bool Connection::Execute(const char* sql) {
  Result result(PQexec(conn_, sql));
  return result.ok();
}

Result Connection::Query(const char* sql, const Params& params) {
  std::vector<const char*> values;
  values.reserve(params.values_.size());
  for (const std::optional<std::string>& value : params.values_)
    values.push_back(value ? value->c_str() : nullptr);
  return Result(PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(),
                             nullptr, nullptr, 0));
}

bool Connection::Alive() const {
  return conn_ && PQstatus(conn_) == CONNECTION_OK;
}

std::string Connection::ErrorText() const {
  std::string text = conn_ ? PQerrorMessage(conn_) : "no connection";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

Canceller::Canceller(Canceller&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}

Canceller& Canceller::operator=(Canceller&& other) noexcept {
  if (this != &other) {
    PQfreeCancel(cancel_);
    cancel_ = std::exchange(other.cancel_, nullptr);
  }
  return *this;
}

Canceller::~Canceller() {
  PQfreeCancel(cancel_);
}

void Canceller::Cancel() {
  char error[256];
  if (cancel_) PQcancel(cancel_, error, sizeof error);
}

Canceller Connection::MakeCanceller() const {
  return Canceller(PQgetCancel(conn_));
}

}  // namespace kestrun::pg
