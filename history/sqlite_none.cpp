// The database layer of a build without SQLite (the Windows cross-build,
// which has no SQLite library to link): no database ever opens, so the run
// history is off ("Run history not kept: cannot open ...: this build of the
// server has no SQLite") and every other part of the server works as usual.
#include "history/sqlite.h"

#include <utility>

namespace kestrun::sql {

std::optional<Database> Database::Open(const std::string&, Mode, std::string* error) {
  if (error) *error = "this build of the server has no SQLite";
  return std::nullopt;
}

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
Database& Database::operator=(Database&& other) noexcept {
  db_ = std::exchange(other.db_, nullptr);
  return *this;
}
Database::~Database() = default;
Statement& Database::Prepared(const char* sql) {
  prepared_.emplace_back(sql, std::make_unique<Statement>(*this, sql));
  return *prepared_.back().second;
}
bool Database::Execute(const char*, std::string* error) {
  if (error) *error = "no SQLite";
  return false;
}
std::optional<std::string> Database::QueryText(const char*) {
  return std::nullopt;
}
void Database::SetBusyTimeout(int) {}
std::string Database::ErrorText() const {
  return "no SQLite";
}
int64_t Database::LastInsertId() const {
  return 0;
}
bool Database::ReadOnly() const {
  return true;
}

Statement::Statement(Database&, const char*) {}
Statement::~Statement() = default;
Statement& Statement::Bind(int, int64_t) {
  return *this;
}
Statement& Statement::Bind(int, std::string_view) {
  return *this;
}
Statement& Statement::BindBlob(int, std::string_view) {
  return *this;
}
Statement& Statement::BindNull(int) {
  return *this;
}
Statement::Result Statement::Step() {
  return Result::Failed;
}
void Statement::Reset() {}
bool Statement::IsNull(int) const {
  return true;
}
int64_t Statement::Int(int) const {
  return 0;
}
std::string Statement::Text(int) const {
  return {};
}

Transaction::Transaction(Database& db) : db_(db) {}
Transaction::~Transaction() = default;
bool Transaction::Commit() {
  return false;
}

}  // namespace kestrun::sql
