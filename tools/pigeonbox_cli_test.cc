// pigeonbox-cli against the in-process stand-in server and an application that echoes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include "base/text.h"
#include "testutil/suite/appserver_fixture.h"
#include "testutil/temp_dir.h"
#include "tools/cli_replies.h"

namespace pigeonbox {
namespace {

struct CliRun {
  int status = -1;
  std::vector<std::string> lines;  // stdout and stderr
};

CliRun RunCli(const std::string& arguments) {
  CliRun run;
  std::string command = std::string(PB_CLI_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[8192];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line = buffer;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    run.lines.push_back(line);
  }
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Utf16Le(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

class CliTest : public testutil::AppServerTest {
 protected:
  void SetUp() override {
    AppServerTest::SetUp();
    dir_.Write("AppConfig/AppOffMsg.xml",
               "<App><AppRegInfo><Request_Type>IM_Msg|Group_Msg|</Request_Type></AppRegInfo>"
               "<AppInfo AppGuid=\"{echo}\" AppName=\"EchoApp\" Priority=\"1\"/></App>");
    // Messages of the registered types are recorded; anything else is answered in all three
    // reply forms.
    AppServerClient* app = &app_;
    auto record = inbox_.Callback();
    std::u16string error;
    ASSERT_EQ(app_.RegisterApp(u"127.0.0.1", port_, u"{echo}", u"EchoApp", 1, kTypes, &error, 512),
              0);
    AppCallbacks callbacks{
        nullptr, [=](uint32_t leading, const char16_t* src, const char16_t* type,
                     const char16_t* sender, const char16_t* receiver, const char16_t* list,
                     const char16_t* data, uint32_t value, uint32_t trailing) {
          record(leading, src, type, sender, receiver, list, data, value, trailing);
          if (std::u16string_view(type).starts_with(u"IM_")) return;
          app->SendTextMsg(u"{echo}", src, type, receiver, sender, data);
          std::string object = Utf16Le(
              u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><KVTCData><Item "
              u"Key=\"Count\" Type=\"Long\">3</Item></KVTCData>");
          app->SendMsgWEx(u"{echo}", src, type, receiver, sender, object.data(), object.size());
          std::string packet = "\x22" + Utf16Le(u"GET_OFFMSG_SUM_3") + std::string(2, '\0') +
                               std::string("\x00\x00\x00\x00\x02", 5);
          app->SendMsgWEx(u"{echo}", src, type, receiver, sender, packet.data(), packet.size());
        }};
    ASSERT_EQ(app_.StartApp(u"127.0.0.1", port_, u"{echo}", u"", callbacks, 16, &error, 512), 0);
  }

  std::string Common() {
    return "--root " + dir_.path() + " --server 127.0.0.1:" + std::to_string(port_) +
           " --user alice ";
  }

  testutil::TempDir dir_;
  testutil::Inbox inbox_;
  AppServerClient app_;  // after the inbox its callback writes to
};

TEST_F(CliTest, RequestPrintsEveryReplyAsOneJsonLine) {
  CliRun run = RunCli(Common() + "request GET_OFFMSG_SUM Who=\"a b\" --long Max=-5 --wait 1");
  EXPECT_EQ(run.status, 0);
  ASSERT_TRUE(inbox_.WaitFor(1));
  testutil::Received got = inbox_.messages()[0];
  EXPECT_EQ(got.type, u"OffMsg_Query");
  EXPECT_EQ(got.receiver, u"EchoApp");  // from the root's application file
  EXPECT_EQ(got.sender, u"alice");
  std::u16string envelope =
      u"<KVTCData><Item Key=\"Command\" Type=\"String\">GET_OFFMSG_SUM</Item>\r\n"
      u"<Item Key=\"Who\" Type=\"String\">a b</Item>\r\n"
      u"<Item Key=\"Max\" Type=\"Long\">-5</Item>\r\n</KVTCData>";
  EXPECT_EQ(got.data, envelope);

  std::string route = R"("route": ["pigeonbox-cli", "OffMsg_Query", "EchoApp", "alice"])";
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[0],
            "{" + route + R"(, "form": "envelope", "raw": ")" +
                R"(<KVTCData><Item Key=\"Command\" Type=\"String\">GET_OFFMSG_SUM)" +
                R"(</Item>\r\n<Item Key=\"Who\" Type=\"String\">a b</Item>\r\n)" +
                R"(<Item Key=\"Max\" Type=\"Long\">-5</Item>\r\n</KVTCData>", )" +
                R"("items": {"Command": "GET_OFFMSG_SUM", "Who": "a b", "Max": -5}})");
  EXPECT_EQ(run.lines[1], "{" + route + R"(, "form": "object", "raw": "<?xml version=\"1.0\" )" +
                              R"(encoding=\"UTF-16\"?><KVTCData><Item Key=\"Count\" )" +
                              R"(Type=\"Long\">3</Item></KVTCData>", "items": {"Count": 3}})");
  // The 40-byte count reply: the command as a short text, the status, the count.
  EXPECT_EQ(run.lines[2],
            "{" + route + R"(, "form": "packet", "raw": "22)" +
                "4700450054005f004f00460046004d00530047005f00530055004d005f0033000000" +
                R"(0000000002", "items": {"Command": "GET_OFFMSG_SUM_3", "Status": 0, )" +
                R"("Count": 2}})");
}

TEST(CliReplyTest, PacketRepliesAreDecodedByTheirLayoutAsFarAsTheBytesGo) {
  auto shortText = [](std::u16string_view text) {
    std::string bytes = Utf16Le(text) + std::string(2, '\0');
    return static_cast<char>(bytes.size()) + bytes;
  };
  UserDelivery reply;
  reply.data = shortText(u"GET_OFFMSG_INDEX_3") + '\0' + shortText(u"m-1") + shortText(u"src") +
               std::string("\x00\x0e", 2) + Utf16Le(u";alice") + std::string(2, '\0') +
               shortText(u"标题") + shortText(u"") + std::string("\x00\x02", 2) +
               std::string("\xff\xff\xff\xfe", 4);
  EXPECT_NE(cli::ReplyJson(reply).find(
                R"("items": {"Command": "GET_OFFMSG_INDEX_3", "Status": 0, "MsgID": "m-1", )"
                R"("SrcIdentifier": "src", "Reciever": ";alice", "Title": "标题", )"
                R"("SessionDescription": "", "Count": 2, "CreateTime": -2}})"),
            std::string::npos)
      << cli::ReplyJson(reply);
  reply.data.resize(reply.data.size() - 3);  // CreateTime cut short: left out
  EXPECT_NE(cli::ReplyJson(reply).find(R"("Count": 2}})"), std::string::npos);
}

TEST_F(CliTest, SendDeliversARegisteredTypeWithItsReceivers) {
  std::string file = dir_.Write("msg.xml",
                                "<KVTCData><Item Key=\"Title\" Type=\"String\">"
                                "\xE4\xBD\xA0\xE5\xA5\xBD</Item></KVTCData>");
  CliRun run =
      RunCli(Common() + "send --type IM_Msg --to \"bob;carol\" --src m-1 --data-file " + file);
  EXPECT_EQ(run.status, 0) << (run.lines.empty() ? "" : run.lines[0]);
  ASSERT_TRUE(inbox_.WaitFor(1));
  testutil::Received got = inbox_.messages()[0];
  EXPECT_EQ(got.srcIdentifier, u"m-1");
  EXPECT_EQ(got.type, u"IM_Msg");
  EXPECT_EQ(got.receiver, u"bob");
  EXPECT_EQ(got.receiverList, u"bob;carol");
  EXPECT_EQ(got.data,
            u"<KVTCData><Item Key=\"Title\" Type=\"String\">\u4F60\u597D</Item></KVTCData>");
}

TEST_F(CliTest, ClearFailuresForUnreachableServerAndBadArguments) {
  CliRun run = RunCli("--server 127.0.0.1:1 --user alice request GET_OFFMSG_SUM --wait 0");
  EXPECT_EQ(run.status, 1);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_NE(run.lines[0].find("cannot reach the application server at 127.0.0.1:1"),
            std::string::npos);

  EXPECT_EQ(RunCli(Common() + "send --type IM_Msg").status, 2);
  EXPECT_EQ(RunCli(Common() + "request").status, 2);
  EXPECT_EQ(RunCli(Common() + "request C --long N=abc").status, 2);
  EXPECT_EQ(RunCli(Common() + "request C --wait -1").status, 2);
  EXPECT_EQ(RunCli("--server 127.0.0.1:1 request C").status, 2);  // no --user
  EXPECT_EQ(RunCli("--server nowhere --user a request C").status, 1);
  // No application name: neither --app nor an application file.
  testutil::TempDir empty;
  EXPECT_EQ(RunCli("--root " + empty.path() + " --server 127.0.0.1:" + std::to_string(port_) +
                   " --user alice request C --wait 0")
                .status,
            1);
}

}  // namespace
}  // namespace pigeonbox
