// The user database reached through the ODBC driver manager (unixODBC).
//
// The statement asks for the users that are not retired (AccountState other than 1, or none):
//   select ID from Sys_user where (AccountState<>1 or AccountState is null)
//     and lower(UserName)=lower(?)
// The name is a bound parameter, never part of the statement text, and names are compared
// without regard to case: person store files carry lower-cased names, and a database that
// compares case-sensitively would otherwise make the sweep delete the messages of every user
// whose name holds a capital letter.
//
// Some databases fold only A-Z in lower() (SQLite among them), so a name with other capitals
// ("Ärger") would not be found by its lower-cased store name ("ärger"). When a name that is not
// pure ASCII is not found, the names of all users who are not retired are read and compared with
// the server's own lower-casing. That scan costs one pass over the table and happens only for
// such names that the first query did not find.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/mutex.h"
#include "config/settings.h"
#include "offmsg/user_database.h"
#include "service/log_file.h"

namespace pigeonbox {

class OdbcUserDatabase final : public UserDatabase {
 public:
  // `log` is borrowed and must outlive the object.
  explicit OdbcUserDatabase(LogFile& log, OdbcTimeouts timeouts = {});
  ~OdbcUserDatabase() override;
  OdbcUserDatabase(const OdbcUserDatabase&) = delete;
  OdbcUserDatabase& operator=(const OdbcUserDatabase&) = delete;

  // Connects with an ODBC connection string (UTF-8), without any prompting. False when the
  // driver manager or the driver refuses; the reason is logged with the driver's own text.
  bool Open(const std::string& connectionString);
  void Close();

  Answer Query(std::u16string_view name) override;
  // The first row of the scan of active users, if any.
  Answer AnyActiveUser() override;
  // The driver's first text of the last failure ("[state] message"); empty when none failed.
  std::string lastError();

 private:
  struct Handles;
  struct Statement;
  void LogDiagnostics(short handleType, void* handle, std::u16string_view what) REQUIRES(mutex_);
  // A statement handle on the open connection with the query timeout set.
  bool AllocStatement(Statement* stmt) REQUIRES(mutex_);
  // The two queries; called with a connection open.
  Answer AskByLowerName(std::u16string_view name) REQUIRES(mutex_);
  Answer ScanActiveNames(std::u16string_view name) REQUIRES(mutex_);

  LogFile& log_;
  const OdbcTimeouts timeouts_;
  Mutex mutex_;  // one statement at a time on the shared connection
  std::unique_ptr<Handles> handles_ GUARDED_BY(mutex_);
  std::string lastError_ GUARDED_BY(mutex_);
};

}  // namespace pigeonbox
