#include "history/sqlite.h"

#include <sqlite3.h>

#include <utility>

namespace kestrun::sql {

std::optional<Database> Database::Open(const std::string& path, Mode mode, std::string* error) {
  sqlite3* db = nullptr;
  const int flags =
      (mode == Mode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
      SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    return std::nullopt;
  }
  sqlite3_extended_result_codes(db, 1);
  return Database(db);
}

Database::Database(Database&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), prepared_(std::move(other.prepared_)) {}

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    Close();
    db_ = std::exchange(other.db_, nullptr);
    prepared_ = std::move(other.prepared_);
  }
  return *this;
}

Database::~Database() {
  Close();
}

void Database::Close() {
  // Every other statement is finalised by its owner first; close_v2 would
  // defer the close until they are.
  prepared_.clear();
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

Statement& Database::Prepared(const char* sql) {
  for (auto& [text, statement] : prepared_) {
    if (text == sql) {
      statement->Reset();
      return *statement;
    }
  }
  prepared_.emplace_back(sql, std::make_unique<Statement>(*this, sql));
  return *prepared_.back().second;
}

bool Database::Execute(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error) *error = message ? message : ErrorText();
  sqlite3_free(message);
  return false;
}

std::optional<std::string> Database::QueryText(const char* sql) {
  Statement statement(*this, sql);
  if (statement.Step() != Statement::Result::Row) return std::nullopt;
  return statement.Text(0);
}

void Database::SetBusyTimeout(int ms) {
  sqlite3_busy_timeout(db_, ms);
}

std::string Database::ErrorText() const {
  return db_ ? sqlite3_errmsg(db_) : "no database";
}

int64_t Database::LastInsertId() const {
  return sqlite3_last_insert_rowid(db_);
}

bool Database::ReadOnly() const {
  return sqlite3_db_readonly(db_, "main") == 1;
}

Statement::Statement(Database& db, const char* sql) {
  if (sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::Bind(int index, int64_t value) {
  if (stmt_) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (stmt_)
    sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  return *this;
}

Statement& Statement::BindBlob(int index, std::string_view bytes) {
  if (stmt_) sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (stmt_) sqlite3_bind_null(stmt_, index);
  return *this;
}

Statement::Result Statement::Step() {
  if (!stmt_) return Result::Failed;
  switch (sqlite3_step(stmt_)) {
    case SQLITE_ROW:
      return Result::Row;
    case SQLITE_DONE:
      return Result::Done;
    default:
      return Result::Failed;
  }
}

void Statement::Reset() {
  if (!stmt_) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

std::string Statement::Text(int column) const {
  // Blobs and texts alike: the bytes as stored, NULs included.
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

Transaction::Transaction(Database& db) : db_(db) {
  began_ = db_.Prepared("BEGIN IMMEDIATE").Run();
}

Transaction::~Transaction() {
  if (began_ && !done_) db_.Prepared("ROLLBACK").Run();
}

bool Transaction::Commit() {
  if (!began_ || done_) return false;
  done_ = db_.Prepared("COMMIT").Run();
  return done_;
}

}  // namespace kestrun::sql
