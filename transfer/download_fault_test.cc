// Every file call of a download failed in turn, through the store's fault-injecting file layer:
// the client gets the reply the protocol gives for the step that failed, the same connection
// then serves the exact bytes again, and no file of the store changes.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "base/text.h"
#include "store/store_paths.h"
#include "testutil/store/faulty_file_system.h"
#include "testutil/transfer/dockhand_fixture.h"

namespace pigeonbox {
namespace {

// Every file below the store root with its content.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root + "OffMsg")) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    files[entry.path().string()] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

// Asks for the file and reads all its blocks, asking once more for a block that failed (the
// client may). Every block that comes must hold the file's bytes. The first non-zero result
// seen, 0 when there was none.
int32_t Download(TransferClient& client, std::u16string_view name, const std::string& content) {
  std::optional<TransferClient::FileInfo> info = client.RequestFile(u"offmsgfile", name);
  if (!info) {
    ADD_FAILURE() << "no reply to the file request";
    return 1;
  }
  if (info->result != 0) return info->result;
  EXPECT_EQ(content.size(), info->size);
  int32_t first = 0;
  for (uint32_t i = 0; i * kBlockBytes < content.size(); ++i) {
    std::optional<TransferClient::Block> block = client.RequestBlock(i);
    if (block && block->result != 0 && first == 0) {
      first = block->result;
      block = client.RequestBlock(i);
    }
    if (!block) {
      ADD_FAILURE() << "no reply to block " << i;
      return 1;
    }
    EXPECT_EQ(0, block->result) << "block " << i;
    EXPECT_EQ(content.substr(i * kBlockBytes, kBlockBytes),
              std::string(block->bytes.begin(), block->bytes.end()))
        << "block " << i;
  }
  return first;
}

TEST(DownloadFaultTest, EveryFileCallOfADownloadFailedInTurn) {
  PosixFileSystem disk;
  FaultyFileSystem faulty(disk);
  testutil::TestDockhand t(64, &faulty);
  ASSERT_EQ(1, t.service->Start());
  std::string text(7000, 0);
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7 + 3);
  const std::string index = "<Index>" + std::string(4000, 'i') + "</Index>";
  // Spelled with capitals on disk, so directory listings take part in finding them.
  const std::string dir = "OffMsg/OffMsgFile/" + std::to_string(NameHash(u"alice") % 50) + "/";
  t.root.Write(dir + "Alice.txt", text);
  t.root.Write(dir + "alice.xml", index);  // an index file, copied whole when chosen
  const std::map<std::string, std::string> stored = Snapshot(t.root.path());

  // The results the client may see when a call of each kind fails. A failed look at a name
  // falls back on the directory listing; a failed listing leaves the file not found when the
  // request checks for it, and unopenable when its version is taken.
  using Results = std::set<int32_t>;
  const std::map<std::string, Results> common = {
      {"stat", {0}},
      {"listdir", {kFileMissing, kFileEmptyOrUnopenable}},
      {"open", {kFileEmptyOrUnopenable}},
      {"fstat", {kFileEmptyOrUnopenable}},
      {"close", {0}}};
  struct Case {
    std::u16string name;
    const std::string& content;
    int32_t failedRead;
  };
  const Case cases[] = {{u"alice.txt", text, kReadFailed},
                        {u"alice.xml", index, kFileEmptyOrUnopenable}};
  for (const Case& c : cases) {
    std::map<std::string, Results> expected = common;
    expected["read"] = {c.failedRead};
    for (const int error : {EIO, EMFILE, ENOSPC}) {
      TransferClient client;
      ASSERT_TRUE(t.OpenSession(client));
      // Every round starts with a file chosen, and has two downloads, so each closes a file.
      ASSERT_EQ(0, Download(client, c.name, c.content));
      faulty.RecordCalls(true);
      const size_t earlier = faulty.RecordedCalls().size();
      ASSERT_EQ(0, Download(client, c.name, c.content));
      ASSERT_EQ(0, Download(client, c.name, c.content));
      std::vector<std::string> calls = faulty.RecordedCalls();
      calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(earlier));
      faulty.RecordCalls(false);
      std::set<std::string> kinds;
      for (size_t n = 1; n <= calls.size(); ++n) {
        SCOPED_TRACE(ToUtf8(c.name) + ", errno " + std::to_string(error) + ", call " +
                     std::to_string(n) + ": " + calls[n - 1]);
        const std::string kind = calls[n - 1].substr(0, calls[n - 1].find(' '));
        kinds.insert(kind);
        ASSERT_EQ(1u, expected.count(kind));
        faulty.FailNthCall(static_cast<int64_t>(n), error);
        const int32_t firstResult = Download(client, c.name, c.content);
        const int32_t secondResult = Download(client, c.name, c.content);
        EXPECT_TRUE(faulty.NthCallFailed());
        EXPECT_EQ(1u, expected.at(kind).count(firstResult != 0 ? firstResult : secondResult))
            << firstResult << " then " << secondResult;
        faulty.Clear();
        EXPECT_EQ(0, Download(client, c.name, c.content));
      }
      EXPECT_EQ((std::set<std::string>{"stat", "listdir", "open", "fstat", "read", "close"}),
                kinds);
    }
  }
  TransferClient fresh;
  ASSERT_TRUE(t.OpenSession(fresh));
  EXPECT_EQ(0, Download(fresh, u"alice.txt", text));
  EXPECT_EQ(stored, Snapshot(t.root.path()));
}

}  // namespace
}  // namespace pigeonbox
