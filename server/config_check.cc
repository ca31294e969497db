#include "server/config_check.h"

#include <unistd.h>

#include "base/text.h"
#include "config/install_root.h"
#include "metrics/listen_address.h"
#include "offmsg/odbc_user_database.h"
#include "service/log_file.h"

namespace pigeonbox {
namespace {

// A name no account bears: the query runs, and only whether it can run matters.
constexpr char16_t kProbeName[] = u"pigeonbox-config-check";

void CheckDatabase(const std::string& installRoot, const ServerSettings& settings,
                   std::vector<Finding>* findings) {
  const DatabaseSettings& database = settings.offmsg.database;
  if (!database.connection) return;  // already a finding of the settings
  auto add = [&](std::string problem, std::string action, bool stopsStart = false) {
    findings->push_back(Finding{ServerConfigPath(installRoot), 0,
                                "DBServer/DB_Setting@DBConnstring",
                                MaskConnectionString(ToUtf8(*database.connection)),
                                std::move(problem), std::move(action), stopsStart});
  };
  if (chdir((installRoot + "bin").c_str()) != 0) {
    // No bin/ directory: relative paths start from where the check runs, as for the server.
  }
  LogFile quiet;  // not opened: the driver's texts come back through lastError()
  OdbcUserDatabase db(quiet, database.timeouts);
  if (!db.Open(ToUtf8(*database.connection))) {
    add("cannot connect: " + db.lastError(), "the server does not start (打开数据库失败)", true);
    return;
  }
  const UserDatabase::Answer answer = db.Query(kProbeName);
  if (answer != UserDatabase::Answer::kExists && answer != UserDatabase::Answer::kMissing) {
    add("the user query on Sys_user fails: " + db.lastError(),
        "the server starts, but the sweep deletes nothing and the shrink skips every user");
    return;
  }
  if (settings.offmsg.sweep.enabled && db.AnyActiveUser() == UserDatabase::Answer::kMissing) {
    add("Sys_user holds no active user",
        "the nightly sweep deletes nothing (it takes an empty user table for a wrong database)");
  }
}

// The metrics address is judged where the endpoint is started; the check judges it the same way.
void CheckMetrics(const std::string& installRoot, const ServerSettings& settings,
                  std::vector<Finding>* findings) {
  const std::u16string& listen = settings.metrics.listen;
  if (listen.empty() || metrics::ParseListenAddress(ToUtf8(listen))) return;
  findings->push_back(Finding{AppConfigPath(installRoot), 0, "App/Setting@MetricsListen",
                              ToUtf8(listen),
                              "not a numeric address and port such as 127.0.0.1:9464",
                              "the server starts without metrics"});
}

}  // namespace

std::vector<Finding> CheckConfiguration(const std::string& installRoot,
                                        const ServerSettings& settings) {
  if (!InstallRootExists(installRoot)) {
    return {Finding{installRoot,
                    0,
                    {},
                    std::nullopt,
                    "the install root does not exist",
                    "the server does not start",
                    true}};
  }
  std::vector<Finding> findings = settings.findings;
  CheckMetrics(installRoot, settings, &findings);
  CheckDatabase(installRoot, settings, &findings);
  return findings;
}

int RunConfigurationCheck(const std::string& installRoot, std::ostream& out) {
  const std::vector<Finding> findings =
      CheckConfiguration(installRoot, ReadServerSettings(installRoot));
  for (const Finding& finding : findings) out << finding.Text() << "\n";
  out.flush();
  return findings.empty() ? 0 : 1;
}

}  // namespace pigeonbox
