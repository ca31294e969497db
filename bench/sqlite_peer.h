// The offline-message store's operations on SQLite, as the peer the store is measured against.
//
// One table holds every message part: (user, msgid, create_time, the index record's texts, len,
// body) with body the same compressed block the store appends to its text file. A UNIQUE index
// on (user, msgid) serves every per-user lookup. The database runs in WAL mode with
// synchronous=NORMAL (a commit is durable against a process kill, not against a power loss,
// as the store's default saves), and every operation is one transaction.
//
// Single-threaded: one connection, used by the thread that created the object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/index_store.h"
#include "store/offmsg_store_mgr.h"

struct sqlite3;
struct sqlite3_stmt;

namespace pigeonbox::bench {

class SqlitePeer {
 public:
  // Creates (or opens) the database file at `path`, with a page cache of `cacheMiB` (0: SQLite's
  // default of about 2 MB). Check error() before use.
  SqlitePeer(const std::string& path, int cacheMiB);
  ~SqlitePeer();
  SqlitePeer(const SqlitePeer&) = delete;
  SqlitePeer& operator=(const SqlitePeer&) = delete;

  // Empty when the database is usable, else the last error.
  const std::string& error() const { return error_; }

  // Compresses and inserts the text; first deletes the user's oldest rows so that, with the new
  // one, at most `maxCount` remain (the store's owner limit). True on success.
  bool Add(std::u16string_view user, const std::u16string& text, const IndexRecord& record,
           int maxCount);
  // The same with the text's block compressed already (see Compress).
  bool AddCompressed(std::u16string_view user, std::string_view block, const IndexRecord& record,
                     int maxCount);
  // The block the text file store appends for `text` (UTF-16LE with its terminating zero
  // unit, compressed); empty when it cannot be compressed.
  static std::string Compress(const std::u16string& text);
  // Bulk loading (a benchmark's setup): the Adds between BeginBulk and EndBulk form one
  // transaction instead of one each. True on success.
  bool BeginBulk();
  bool EndBulk();
  // Rows of the user, or -1 on an error.
  int Count(std::u16string_view user);
  // Appends one record per row of the user, oldest first.
  bool List(std::u16string_view user, std::vector<IndexRecord>* list);
  // Appends the row (body and what the text replies need) of (user, msgId); false on an error.
  bool Fetch(std::u16string_view user, std::u16string_view msgId, std::vector<TextRecord>* list);
  // Fetch, then delete the row, in one transaction.
  bool FetchAndDelete(std::u16string_view user, std::u16string_view msgId,
                      std::vector<TextRecord>* list);
  // The shrink's counterpart: deletes the user's rows created before `oldestKept`. SQLite
  // reuses freed pages by itself, so nothing is rewritten.
  bool Expire(std::u16string_view user, int32_t oldestKept);

  // SQLite's version text.
  static const char* Version();

 private:
  bool Exec(const char* sql);
  sqlite3_stmt* Prepare(const char* sql);
  // Records the error of `what` unless `rc` is the expected code.
  bool Ok(int rc, int expected, const char* what);
  // Runs a statement without result rows (BEGIN, COMMIT ...) and resets it.
  bool StepOnce(sqlite3_stmt* stmt, const char* what);
  bool FetchLocked(std::u16string_view user, std::u16string_view msgId,
                   std::vector<TextRecord>* list);

  sqlite3* db_ = nullptr;
  bool bulk_ = false;  // Adds run inside the bulk transaction
  std::string error_;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* rollback_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* trim_ = nullptr;
  sqlite3_stmt* count_ = nullptr;
  sqlite3_stmt* list_ = nullptr;
  sqlite3_stmt* fetch_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;
  sqlite3_stmt* expire_ = nullptr;
};

}  // namespace pigeonbox::bench
