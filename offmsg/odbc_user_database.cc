#include "offmsg/odbc_user_database.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>

#include "base/text.h"
#include "metrics/server_metrics.h"

namespace pigeonbox {
namespace {

constexpr char kUserQuery[] =
    "select ID from Sys_user where (AccountState<>1 or AccountState is null) "
    "and lower(UserName)=lower(?)";
// Every user who is not retired; read when the database's lower() may not fold the name.
constexpr char kActiveUsersQuery[] =
    "select UserName from Sys_user where (AccountState<>1 or AccountState is null)";
// Longest UTF-8 name the scan compares; longer ones cannot name a file.
constexpr SQLLEN kLongestName = 1023;

bool IsAscii(std::u16string_view name) {
  return std::all_of(name.begin(), name.end(), [](char16_t c) { return c < 0x80; });
}

SQLPOINTER Seconds(int32_t seconds) {
  return reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds));
}

}  // namespace

struct OdbcUserDatabase::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;

  ~Handles() {
    if (connected) SQLDisconnect(dbc);
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
};

OdbcUserDatabase::OdbcUserDatabase(LogFile& log, OdbcTimeouts timeouts)
    : log_(log), timeouts_(timeouts) {}

OdbcUserDatabase::~OdbcUserDatabase() {
  Close();
}

void OdbcUserDatabase::Close() {
  MutexLock lock(mutex_);
  handles_.reset();
}

// Logs the driver's own texts of the last call on `handle`, one line each. Called once for every
// failed login or query, which it counts.
void OdbcUserDatabase::LogDiagnostics(short handleType, void* handle, std::u16string_view what) {
  metrics::Server().databaseErrors.Inc();
  for (SQLSMALLINT record = 1; record <= 4; ++record) {
    SQLCHAR state[6] = {};
    SQLCHAR message[512] = {};
    SQLINTEGER nativeError = 0;
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRec(handleType, handle, record, state, &nativeError, message,
                                     sizeof message, &length)))
      break;
    log_.Log(u"%s: [%s] %s (%d)", what, reinterpret_cast<const char*>(state),
             reinterpret_cast<const char*>(message), nativeError);
    if (record == 1) {
      lastError_ = "[" + std::string(reinterpret_cast<const char*>(state)) + "] " +
                   reinterpret_cast<const char*>(message);
    }
  }
}

bool OdbcUserDatabase::Open(const std::string& connectionString) {
  MutexLock lock(mutex_);
  handles_.reset();
  auto handles = std::make_unique<Handles>();
  bool ok = SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handles->env)) &&
            SQL_SUCCEEDED(SQLSetEnvAttr(handles->env, SQL_ATTR_ODBC_VERSION,
                                        reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) &&
            SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, handles->env, &handles->dbc));
  if (ok) {
    // A driver without these attributes refuses them; it then waits as it always has.
    SQLSetConnectAttr(handles->dbc, SQL_ATTR_LOGIN_TIMEOUT, Seconds(timeouts_.loginSeconds), 0);
    SQLSetConnectAttr(handles->dbc, SQL_ATTR_CONNECTION_TIMEOUT, Seconds(timeouts_.querySeconds),
                      0);
    std::string text = connectionString;  // the driver manager wants a writable buffer
    SQLRETURN rc = SQLDriverConnect(handles->dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                    SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    ok = handles->connected = SQL_SUCCEEDED(rc);
    if (!ok) LogDiagnostics(SQL_HANDLE_DBC, handles->dbc, u"SQLDriverConnect");
  }
  if (!ok) {
    log_.Log(u"打开数据库失败");
    return false;
  }
  handles_ = std::move(handles);
  return true;
}

std::string OdbcUserDatabase::lastError() {
  MutexLock lock(mutex_);
  return lastError_;
}

UserDatabase::Answer OdbcUserDatabase::Query(std::u16string_view name) {
  MutexLock lock(mutex_);
  if (!handles_) return Answer::kNotAsked;
  Answer answer = AskByLowerName(name);
  if (answer == Answer::kMissing && !IsAscii(name)) answer = ScanActiveNames(name);
  return answer;
}

// The statement handle of one query, freed on every path.
struct OdbcUserDatabase::Statement {
  SQLHSTMT handle = SQL_NULL_HSTMT;
  ~Statement() {
    if (handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle);
  }
};

bool OdbcUserDatabase::AllocStatement(Statement* stmt) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, handles_->dbc, &stmt->handle))) return false;
  SQLSetStmtAttr(stmt->handle, SQL_ATTR_QUERY_TIMEOUT, Seconds(timeouts_.querySeconds), 0);
  return true;
}

UserDatabase::Answer OdbcUserDatabase::AskByLowerName(std::u16string_view name) {
  Statement stmt;
  if (!AllocStatement(&stmt)) return Answer::kNotAsked;
  std::string value = ToUtf8(name);
  SQLLEN valueLength = static_cast<SQLLEN>(value.size());
  Answer answer = Answer::kFailed;
  SQLRETURN rc = SQLBindParameter(stmt.handle, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                                  std::max<SQLULEN>(1, value.size()), 0, value.data(), valueLength,
                                  &valueLength);
  if (SQL_SUCCEEDED(rc)) {
    rc = SQLExecDirect(stmt.handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>(kUserQuery)),
                       SQL_NTS);
  }
  if (SQL_SUCCEEDED(rc)) {
    rc = SQLFetch(stmt.handle);
    if (rc == SQL_NO_DATA) answer = Answer::kMissing;
    if (SQL_SUCCEEDED(rc)) answer = Answer::kExists;
  }
  if (answer == Answer::kFailed) LogDiagnostics(SQL_HANDLE_STMT, stmt.handle, u"用户查询失败");
  return answer;
}

UserDatabase::Answer OdbcUserDatabase::ScanActiveNames(std::u16string_view name) {
  Statement stmt;
  if (!AllocStatement(&stmt)) return Answer::kNotAsked;
  const std::u16string wanted = ToLower(name);
  SQLRETURN rc = SQLExecDirect(
      stmt.handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>(kActiveUsersQuery)), SQL_NTS);
  while (SQL_SUCCEEDED(rc) && SQL_SUCCEEDED(rc = SQLFetch(stmt.handle))) {
    char value[kLongestName + 1];
    SQLLEN length = 0;
    rc = SQLGetData(stmt.handle, 1, SQL_C_CHAR, value, sizeof value, &length);
    // A null name, or one too long for any file name, cannot be the owner of a store file.
    if (rc != SQL_SUCCESS || length < 0 || length > kLongestName) continue;
    if (ToLower(FromUtf8(std::string_view(value, static_cast<size_t>(length)))) == wanted) {
      return Answer::kExists;
    }
  }
  if (rc == SQL_NO_DATA) return Answer::kMissing;
  LogDiagnostics(SQL_HANDLE_STMT, stmt.handle, u"用户查询失败");
  return Answer::kFailed;
}

UserDatabase::Answer OdbcUserDatabase::AnyActiveUser() {
  MutexLock lock(mutex_);
  if (!handles_) return Answer::kNotAsked;
  Statement stmt;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, handles_->dbc, &stmt.handle))) {
    return Answer::kNotAsked;
  }
  SQLRETURN rc = SQLExecDirect(
      stmt.handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>(kActiveUsersQuery)), SQL_NTS);
  if (SQL_SUCCEEDED(rc)) rc = SQLFetch(stmt.handle);
  if (rc == SQL_NO_DATA) return Answer::kMissing;
  if (SQL_SUCCEEDED(rc)) return Answer::kExists;
  LogDiagnostics(SQL_HANDLE_STMT, stmt.handle, u"用户查询失败");
  return Answer::kFailed;
}

}  // namespace pigeonbox
