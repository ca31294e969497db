// pigeonbox-ticket and pigeonbox-cli download against a running file-transfer service.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <map>
#include <sstream>

#include "store/store_paths.h"
#include "testutil/transfer/dockhand_fixture.h"

namespace pigeonbox {
namespace {

struct ToolRun {
  int status = -1;
  std::string output;  // stdout and stderr
};

ToolRun RunTool(const std::string& command) {
  ToolRun run;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// "word value" lines into a map.
std::map<std::string, std::string> Fields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  std::string name, value;
  while (in >> name >> value) fields[name] = value;
  return fields;
}

TEST(PigeonboxDownloadTest, FetchesAStoredFileWithAFreshTicket) {
  testutil::TestDockhand t;
  // The service reads the same key file the tool creates.
  const std::string ticketCommand = std::string(PB_TICKET_PATH) + " --root " + t.root.path() +
                                    " --ticket-id 41 --user-id 42 --issued 0";
  ToolRun ticket = RunTool(ticketCommand);
  ASSERT_EQ(0, ticket.status) << ticket.output;
  ASSERT_EQ(1, t.service->Start());
  std::string content;
  for (int i = 0; i < 7000; ++i) content += static_cast<char>(i % 251);
  const std::string bucket = std::to_string(BucketOf(u"dave"));
  t.root.Write("OffMsg/OffMsgFile/" + bucket + "/dave.dat", content);

  std::map<std::string, std::string> f = Fields(ticket.output);
  ASSERT_EQ(64u + 2 * 28, f["ticket"].size());
  const std::string out = t.root.path() + "fetched.dat";
  const std::string download = std::string(PB_CLI_PATH) + " download --port " +
                               std::to_string(t.service->port()) + " --ticket " + f["ticket"] +
                               " --key " + f["key"] + " --ticket-id " + f["ticket-id"] +
                               " --user-id " + f["user-id"] + " --dir OffMsgFile --out " + out;
  ToolRun fetched = RunTool(download + " --name Dave.dat");
  ASSERT_EQ(0, fetched.status) << fetched.output;
  EXPECT_EQ(content, t.root.Read("fetched.dat"));

  ToolRun missing = RunTool(download + " --name nobody.dat");
  EXPECT_EQ(1, missing.status);
  EXPECT_NE(std::string::npos, missing.output.find("-69992")) << missing.output;
  ToolRun wrongUser = RunTool(download + " --name dave.dat --user-id 43");
  EXPECT_EQ(1, wrongUser.status);
  EXPECT_NE(std::string::npos, wrongUser.output.find("-69970")) << wrongUser.output;

  // The authenticator maker agrees with what the service expects.
  ToolRun auth = RunTool(std::string(PB_TICKET_PATH) + " authenticator --key " + f["key"] +
                         " --ticket-id 41 --user-id 42");
  ASSERT_EQ(0, auth.status) << auth.output;
  std::vector<uint8_t> ticketBytes, authBytes, keyBytes;
  ASSERT_TRUE(FromHex(f["ticket"], &ticketBytes));
  ASSERT_TRUE(FromHex(auth.output.substr(0, auth.output.find('\n')), &authBytes));
  ASSERT_TRUE(FromHex(f["key"], &keyBytes));
  TransferKey key;
  std::copy(keyBytes.begin(), keyBytes.end(), key.begin());
  TransferClient client;
  std::string error;
  ASSERT_TRUE(client.Connect("127.0.0.1", t.service->port(), &error));
  EXPECT_EQ(0, client.StartSession(ticketBytes, authBytes, key));
}

}  // namespace
}  // namespace pigeonbox
