// A small owner layer over SQLite: a database connection and prepared
// statements, each released by its destructor. Values only ever reach SQLite
// as bound parameters; the SQL texts given here are fixed texts of the code.
//
// A Database and its Statements belong to one thread at a time (the owner
// serialises its users); SQLite is opened in its multi-thread mode, so
// different connections may be used on different threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kestrun::sql {

class Statement;

class Database {
 public:
  enum class Mode { ReadWriteCreate, ReadOnly };
  // Opens (or creates) the database at `path`; nullopt with `*error` set to
  // SQLite's text when it cannot be opened.
  static std::optional<Database> Open(const std::string& path, Mode mode, std::string* error);
  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Runs fixed SQL text (one or more statements without parameters). True
  // on success; otherwise `*error` (when given) holds SQLite's text.
  bool Execute(const char* sql, std::string* error = nullptr);
  // The first column of the first row of a fixed query without parameters,
  // as text; nullopt when it fails or yields no row.
  std::optional<std::string> QueryText(const char* sql);
  // The statement of the fixed text `sql`, prepared on its first use and
  // kept with the connection for the next (parsing it again would cost more
  // than running it): reset, with its bindings cleared. For statements run
  // to their end before the text is asked for again.
  Statement& Prepared(const char* sql);
  // Waits up to `ms` for another connection's lock before failing.
  void SetBusyTimeout(int ms);
  std::string ErrorText() const;
  int64_t LastInsertId() const;
  bool ReadOnly() const;
  sqlite3* handle() const { return db_; }

 private:
  explicit Database(sqlite3* db) : db_(db) {}
  // Finalises the kept statements, then closes the connection.
  void Close();
  sqlite3* db_ = nullptr;
  // The kept statements by their text, finalised before the connection
  // closes.
  std::vector<std::pair<std::string, std::unique_ptr<Statement>>> prepared_;
};

// A prepared statement of fixed SQL text with `?` parameters (numbered from
// 1). Bind, then Step until it reports Done; Reset to run it again.
class Statement {
 public:
  enum class Result { Row, Done, Failed };
  Statement(Database& db, const char* sql);
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  // False when the text could not be prepared; every Step then fails.
  bool ok() const { return stmt_ != nullptr; }
  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& BindBlob(int index, std::string_view bytes);
  Statement& BindNull(int index);
  Result Step();
  // Runs the statement to its end (for statements without rows).
  bool Run() { return Step() == Result::Done; }
  // Clears the bindings and makes the statement ready to run again.
  void Reset();

  // Columns of the current row, numbered from 0.
  bool IsNull(int column) const;
  int64_t Int(int column) const;
  std::string Text(int column) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// An immediate transaction on `db`: rolled back by the destructor unless
// Commit succeeded.
class Transaction {
 public:
  explicit Transaction(Database& db);
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();
  bool began() const { return began_; }
  bool Commit();

 private:
  Database& db_;
  bool began_ = false;
  bool done_ = false;
};

}  // namespace kestrun::sql
