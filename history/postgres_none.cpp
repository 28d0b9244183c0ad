// The PostgreSQL layer of a build without libpq (the Windows cross-build,
// which has no client library to link): no connection ever opens, so a
// shared history setting leaves the server with its local history only.
#include <string>
#include <utility>

#include "history/postgres.h"

namespace kestrun::pg {

Result::Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
Result& Result::operator=(Result&& other) noexcept {
  result_ = std::exchange(other.result_, nullptr);
  return *this;
}
Result::~Result() = default;
bool Result::ok() const {
  return false;
}
std::string Result::SqlState() const {
  return {};
}
int Result::rows() const {
  return 0;
}
std::string Result::Text(int, int) const {
  return {};
}
int64_t Result::Int(int, int) const {
  return 0;
}
std::string Result::Bytes(int, int) const {
  return {};
}

std::optional<Connection> Connection::Open(const std::string&, int, std::string* error) {
  if (error) *error = "this build of the server has no PostgreSQL client";
  return std::nullopt;
}
Connection::Connection(Connection&& other) noexcept : conn_(std::exchange(other.conn_, nullptr)) {}
Connection& Connection::operator=(Connection&& other) noexcept {
  conn_ = std::exchange(other.conn_, nullptr);
  return *this;
}
Connection::~Connection() = default;
bool Connection::Execute(const char*) {
  return false;
}
Result Connection::Query(const char*, const Params&) {
  return {};
}
bool Connection::Alive() const {
  return false;
}
std::string Connection::ErrorText() const {
  return "no PostgreSQL client";
}
Canceller Connection::MakeCanceller() const {
  return Canceller(nullptr);
}

Canceller::Canceller(Canceller&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
Canceller& Canceller::operator=(Canceller&& other) noexcept {
  cancel_ = std::exchange(other.cancel_, nullptr);
  return *this;
}
Canceller::~Canceller() = default;
void Canceller::Cancel() {}

}  // namespace kestrun::pg
