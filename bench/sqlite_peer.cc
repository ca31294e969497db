#include "bench/sqlite_peer.h"

#include <sqlite3.h>

#include "suite/xow_zip.h"

namespace pigeonbox::bench {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS msg("
    "  id INTEGER PRIMARY KEY, user TEXT NOT NULL, msgid TEXT NOT NULL,"
    "  create_time INTEGER NOT NULL, type TEXT, src TEXT, sender TEXT, reciever TEXT, title TEXT,"
    "  session_desc TEXT, len INTEGER NOT NULL, body BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS msg_user_msgid ON msg(user, msgid);";

void BindText(sqlite3_stmt* stmt, int index, std::u16string_view text) {
  static const char16_t kEmpty[] = u"";
  // A null pointer would bind NULL rather than an empty text.
  const void* data = text.empty() ? kEmpty : static_cast<const void*>(text.data());
  sqlite3_bind_text16(stmt, index, data, static_cast<int>(text.size() * 2), SQLITE_STATIC);
}

std::u16string ColumnText(sqlite3_stmt* stmt, int column) {
  const auto* data = static_cast<const char16_t*>(sqlite3_column_text16(stmt, column));
  if (data == nullptr) return {};
  return std::u16string(data, static_cast<size_t>(sqlite3_column_bytes16(stmt, column)) / 2);
}

// Resets the statement when the scope ends, so every exit leaves it ready for the next use.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~StatementUse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

}  // namespace

SqlitePeer::SqlitePeer(const std::string& path, int cacheMiB) {
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    error_ = db_ ? sqlite3_errmsg(db_) : "sqlite3_open failed";
    return;
  }
  if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL") || !Exec(kSchema)) {
    return;
  }
  if (cacheMiB > 0) {
    const std::string pragma = "PRAGMA cache_size=-" + std::to_string(cacheMiB * 1024);
    if (!Exec(pragma.c_str())) return;
  }
  begin_ = Prepare("BEGIN");
  commit_ = Prepare("COMMIT");
  rollback_ = Prepare("ROLLBACK");
  insert_ = Prepare(
      "INSERT INTO msg(user, msgid, create_time, type, src, sender, reciever, title, "
      "session_desc, len, body) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
  trim_ = Prepare(
      "DELETE FROM msg WHERE id IN (SELECT id FROM msg WHERE user = ?1 ORDER BY id "
      "LIMIT max(0, (SELECT count(*) FROM msg WHERE user = ?1) - ?2))");
  count_ = Prepare("SELECT count(*) FROM msg WHERE user = ?1");
  list_ = Prepare(
      "SELECT msgid, create_time, type, src, sender, reciever, title, session_desc FROM msg "
      "WHERE user = ?1 ORDER BY id");
  fetch_ = Prepare(
      "SELECT create_time, type, src, reciever, sender, len, body FROM msg "
      "WHERE user = ?1 AND msgid = ?2");
  delete_ = Prepare("DELETE FROM msg WHERE user = ?1 AND msgid = ?2");
  expire_ = Prepare("DELETE FROM msg WHERE user = ?1 AND create_time < ?2");
}

SqlitePeer::~SqlitePeer() {
  for (sqlite3_stmt* stmt :
       {begin_, commit_, rollback_, insert_, trim_, count_, list_, fetch_, delete_, expire_}) {
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db_);
}

const char* SqlitePeer::Version() {
  return sqlite3_libversion();
}

bool SqlitePeer::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error_ = std::string(sql) + ": " + (message ? message : "?");
  sqlite3_free(message);
  return false;
}

sqlite3_stmt* SqlitePeer::Prepare(const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK &&
      error_.empty()) {
    error_ = std::string(sql) + ": " + sqlite3_errmsg(db_);
  }
  return stmt;
}

bool SqlitePeer::Ok(int rc, int expected, const char* what) {
  if (rc == expected) return true;
  error_ = std::string(what) + ": " + sqlite3_errmsg(db_);
  return false;
}

bool SqlitePeer::StepOnce(sqlite3_stmt* stmt, const char* what) {
  StatementUse use(stmt);
  return Ok(sqlite3_step(stmt), SQLITE_DONE, what);
}

std::string SqlitePeer::Compress(const std::u16string& text) {
  // The same block the text file store appends: UTF-16LE with its terminating zero unit.
  uint8_t block[TextFileStore::kMaxBlockBytes + 1];
  uint32_t blockLen = TextFileStore::kMaxBlockBytes;
  if (xowzip::Compress(block, &blockLen, reinterpret_cast<const uint8_t*>(text.c_str()),
                       static_cast<uint32_t>(2 * text.size() + 2)) != xowzip::kOk) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(block), blockLen);
}

bool SqlitePeer::Add(std::u16string_view user, const std::u16string& text,
                     const IndexRecord& record, int maxCount) {
  const std::string block = Compress(text);
  if (block.empty()) {
    error_ = "compression failed";
    return false;
  }
  return AddCompressed(user, block, record, maxCount);
}

bool SqlitePeer::AddCompressed(std::u16string_view user, std::string_view block,
                               const IndexRecord& record, int maxCount) {
  if (!bulk_ && !StepOnce(begin_, "BEGIN")) return false;
  bool ok = false;
  {
    StatementUse use(trim_);
    BindText(trim_, 1, user);
    sqlite3_bind_int(trim_, 2, maxCount - 1);
    ok = Ok(sqlite3_step(trim_), SQLITE_DONE, "trim");
  }
  if (ok) {
    StatementUse use(insert_);
    BindText(insert_, 1, user);
    BindText(insert_, 2, record.MsgID);
    sqlite3_bind_int(insert_, 3, record.CreateTime);
    BindText(insert_, 4, record.Type);
    BindText(insert_, 5, record.SrcIdentifier);
    BindText(insert_, 6, record.Sender);
    BindText(insert_, 7, record.Reciever);
    BindText(insert_, 8, record.Title);
    BindText(insert_, 9, record.SessionDescription);
    sqlite3_bind_int(insert_, 10, static_cast<int>(block.size()));
    sqlite3_bind_blob(insert_, 11, block.data(), static_cast<int>(block.size()), SQLITE_STATIC);
    ok = Ok(sqlite3_step(insert_), SQLITE_DONE, "insert");
  }
  if (!ok) {
    StepOnce(rollback_, "ROLLBACK");  // keeps the error of the failed step
    bulk_ = false;
    return false;
  }
  return bulk_ || StepOnce(commit_, "COMMIT");
}

bool SqlitePeer::BeginBulk() {
  bulk_ = StepOnce(begin_, "BEGIN");
  return bulk_;
}

bool SqlitePeer::EndBulk() {
  if (!bulk_) return false;
  bulk_ = false;
  return StepOnce(commit_, "COMMIT");
}

int SqlitePeer::Count(std::u16string_view user) {
  StatementUse use(count_);
  BindText(count_, 1, user);
  if (!Ok(sqlite3_step(count_), SQLITE_ROW, "count")) return -1;
  return sqlite3_column_int(count_, 0);
}

bool SqlitePeer::List(std::u16string_view user, std::vector<IndexRecord>* list) {
  StatementUse use(list_);
  BindText(list_, 1, user);
  int rc;
  while ((rc = sqlite3_step(list_)) == SQLITE_ROW) {
    IndexRecord& record = list->emplace_back();
    record.Count = 1;  // (user, msgid) is unique
    record.MsgID = ColumnText(list_, 0);
    record.CreateTime = sqlite3_column_int(list_, 1);
    record.Type = ColumnText(list_, 2);
    record.SrcIdentifier = ColumnText(list_, 3);
    record.Sender = ColumnText(list_, 4);
    record.Reciever = ColumnText(list_, 5);
    record.Title = ColumnText(list_, 6);
    record.SessionDescription = ColumnText(list_, 7);
  }
  return Ok(rc, SQLITE_DONE, "list");
}

bool SqlitePeer::FetchLocked(std::u16string_view user, std::u16string_view msgId,
                             std::vector<TextRecord>* list) {
  StatementUse use(fetch_);
  BindText(fetch_, 1, user);
  BindText(fetch_, 2, msgId);
  int rc;
  while ((rc = sqlite3_step(fetch_)) == SQLITE_ROW) {
    TextRecord& record = list->emplace_back();
    record.CreateTime = sqlite3_column_int(fetch_, 0);
    record.Type = ColumnText(fetch_, 1);
    record.SrcIdentifier = ColumnText(fetch_, 2);
    record.Reciever = ColumnText(fetch_, 3);
    record.Sender = ColumnText(fetch_, 4);
    record.DataLength = static_cast<uint32_t>(sqlite3_column_int(fetch_, 5));
    const auto* body = static_cast<const uint8_t*>(sqlite3_column_blob(fetch_, 6));
    record.Data.assign(body, body + sqlite3_column_bytes(fetch_, 6));
  }
  return Ok(rc, SQLITE_DONE, "fetch");
}

bool SqlitePeer::Fetch(std::u16string_view user, std::u16string_view msgId,
                       std::vector<TextRecord>* list) {
  return FetchLocked(user, msgId, list);
}

bool SqlitePeer::FetchAndDelete(std::u16string_view user, std::u16string_view msgId,
                                std::vector<TextRecord>* list) {
  if (!StepOnce(begin_, "BEGIN")) return false;
  bool ok = FetchLocked(user, msgId, list);
  if (ok) {
    StatementUse use(delete_);
    BindText(delete_, 1, user);
    BindText(delete_, 2, msgId);
    ok = Ok(sqlite3_step(delete_), SQLITE_DONE, "delete");
  }
  if (!ok) {
    StepOnce(rollback_, "ROLLBACK");  // keeps the error of the failed step
    return false;
  }
  return StepOnce(commit_, "COMMIT");
}

bool SqlitePeer::Expire(std::u16string_view user, int32_t oldestKept) {
  // A single statement is its own transaction.
  StatementUse use(expire_);
  BindText(expire_, 1, user);
  sqlite3_bind_int(expire_, 2, oldestKept);
  return Ok(sqlite3_step(expire_), SQLITE_DONE, "expire");
}

}  // namespace pigeonbox::bench
