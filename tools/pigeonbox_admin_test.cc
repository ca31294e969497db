// Runs the built pigeonbox-admin on temporary install roots and reads its JSON lines back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "base/text.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/offmsg_store_mgr.h"
#include "store/store_paths.h"
#include "store/store_root_lock.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

using testutil::TempDir;

// One value of a flat JSON object; arrays hold strings only.
struct JsonValue {
  enum class Kind { kString, kNumber, kBool, kNull, kArray } kind = Kind::kNull;
  std::string text;  // strings unescaped, numbers and booleans as written
  std::vector<std::string> items;
  friend bool operator==(const JsonValue&, const JsonValue&) = default;
};
using JsonLine = std::map<std::string, JsonValue>;

// A strict reader of the flat objects the tool prints; nullopt on anything malformed
// (including unescaped control characters).
class JsonReader {
 public:
  explicit JsonReader(std::string_view s) : s_(s) {}

  std::optional<JsonLine> Object() {
    JsonLine line;
    if (!Eat('{')) return std::nullopt;
    while (!Eat('}')) {
      if (!line.empty() && !Eat(',')) return std::nullopt;
      std::optional<std::string> key = String();
      std::optional<JsonValue> value = key && Eat(':') ? Value() : std::nullopt;
      if (!value) return std::nullopt;
      line[*key] = *value;
    }
    Space();
    if (i_ != s_.size()) return std::nullopt;
    return line;
  }

 private:
  void Space() {
    while (i_ < s_.size() && s_[i_] == ' ') ++i_;
  }
  bool Eat(char c) {
    Space();
    if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
    return false;
  }
  std::optional<std::string> String() {
    if (!Eat('"')) return std::nullopt;
    std::u16string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c < 0x20) return std::nullopt;
      if (c != '\\') {
        size_t end = i_ + 1;
        while (end < s_.size() && (static_cast<unsigned char>(s_[end]) & 0xC0) == 0x80) ++end;
        out += FromUtf8(s_.substr(i_, end - i_));
        i_ = end;
        continue;
      }
      if (++i_ >= s_.size()) return std::nullopt;
      const char e = s_[i_++];
      const std::string_view simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
      if (size_t k = simple.find(e); k != std::string_view::npos) {
        out += static_cast<char16_t>(meaning[k]);
      } else if (e == 'u' && i_ + 4 <= s_.size()) {
        out += static_cast<char16_t>(std::stoi(std::string(s_.substr(i_, 4)), nullptr, 16));
        i_ += 4;
      } else {
        return std::nullopt;
      }
    }
    if (!Eat('"')) return std::nullopt;
    return ToUtf8(out);
  }
  std::optional<JsonValue> Value() {
    Space();
    JsonValue v;
    if (i_ < s_.size() && s_[i_] == '"') {
      std::optional<std::string> text = String();
      if (!text) return std::nullopt;
      v.kind = JsonValue::Kind::kString;
      v.text = *text;
    } else if (Eat('[')) {
      v.kind = JsonValue::Kind::kArray;
      while (!Eat(']')) {
        if (!v.items.empty() && !Eat(',')) return std::nullopt;
        std::optional<std::string> item = String();
        if (!item) return std::nullopt;
        v.items.push_back(*item);
      }
    } else {
      size_t end = s_.find_first_of(",} ", i_);
      v.text = std::string(s_.substr(i_, end - i_));
      i_ = end == std::string_view::npos ? s_.size() : end;
      if (v.text == "null") return v;
      v.kind =
          v.text == "true" || v.text == "false" ? JsonValue::Kind::kBool : JsonValue::Kind::kNumber;
      if (v.kind == JsonValue::Kind::kNumber &&
          (v.text.empty() || v.text.find_first_not_of("-0123456789") != std::string::npos))
        return std::nullopt;
    }
    return v;
  }

  std::string_view s_;
  size_t i_ = 0;
};

struct AdminRun {
  int exitCode = -1;
  std::vector<JsonLine> lines;
  std::string out;
  std::string err;
};

class AdminTest : public ::testing::Test {
 protected:
  AdminTest() : paths_(root_.path(), fs_) {}

  // Runs the tool with --root (unless `useEnv`, which passes the root as PIGEONBOX_ROOT) and
  // `stdinText` as its standard input.
  AdminRun Admin(std::vector<std::string> args, const std::string& stdinText = "",
                 bool useEnv = false) {
    const std::string in = io_.Write("in", stdinText), out = io_.path() + "out",
                      err = io_.path() + "err";
    pid_t child = fork();
    if (child == 0) {
      int inFd = open(in.c_str(), O_RDONLY),
          outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
          errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(inFd, 0);
      dup2(outFd, 1);
      dup2(errFd, 2);
      if (useEnv)
        setenv("PIGEONBOX_ROOT", root_.path().c_str(), 1);
      else
        unsetenv("PIGEONBOX_ROOT");
      std::vector<std::string> all = {PB_ADMIN_PATH};
      if (!useEnv) all.insert(all.end(), {"--root", rootArg_});
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    AdminRun run;
    EXPECT_TRUE(WIFEXITED(status)) << "the tool died on a signal";
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = io_.Read("out");
    run.err = io_.Read("err");
    std::istringstream text(run.out);
    for (std::string line; std::getline(text, line);) {
      std::optional<JsonLine> parsed = JsonReader(line).Object();
      EXPECT_TRUE(parsed) << "not a JSON object: " << line;
      if (parsed) run.lines.push_back(*parsed);
    }
    return run;
  }

  // The one line of a run, checking its exit code.
  JsonLine One(const std::vector<std::string>& args, int exitCode = 0, const std::string& in = "") {
    AdminRun run = Admin(args, in);
    EXPECT_EQ(run.exitCode, exitCode) << run.out;
    EXPECT_EQ(run.lines.size(), 1u) << run.out;
    return run.lines.empty() ? JsonLine() : run.lines[0];
  }
  void AddPerson(const std::string& owner, const std::string& msgId, const std::string& time) {
    EXPECT_EQ(One({"add", owner, "--sender", "bob", "--type", "IM", "--msgid", msgId, "--time",
                   time})["result"]
                  .text,
              "0");
  }

  TempDir root_, io_;
  std::string rootArg_ = root_.path();  // what --root names
  PosixFileSystem fs_;
  StorePaths paths_;
};

TEST_F(AdminTest, AddCountListFetchShowWhatWasStored) {
  const std::string title = "say \"hi\" \\ back\nnow\x01 你好";
  JsonLine added =
      One({"add",       "Alice",   "--sender", "bob",   "--type",      "IM",         "--title",
           title,       "--msgid", "M1",       "--src", "S1",          "--reciever", "alice",
           "--session", "D",       "--time",   "1000",  "--text-file", "-"},
          0, "line one\n\"two\"\t三");
  EXPECT_EQ(added["MsgID"].text, "M1");
  const std::string file = io_.Write("text", "from a file");
  One({"add", "alice", "--sender", "bob", "--type", "IM", "--time", "2000", "--text-file", file});
  One({"add", "Alice", "--sender", "carl", "--type", "G", "--group", "--msgid", "G1"});

  EXPECT_EQ(One({"count", "ALICE"})["count"].text, "2");
  EXPECT_EQ(One({"count", "Alice", "--all"})["count"].text, "3");
  EXPECT_EQ(One({"count", "Alice", "--group"})["count"].text, "1");
  EXPECT_EQ(One({"count", "alice", "--group"})["count"].text, "0");  // group names keep case

  AdminRun list = Admin({"list", "alice"});
  ASSERT_EQ(list.lines.size(), 2u);
  JsonLine first = list.lines[0];
  EXPECT_EQ(first["MsgID"].text, "M1");
  EXPECT_EQ(first["CreateTime"].text, "1000");
  EXPECT_EQ(first["Count"].text, "1");
  EXPECT_EQ(first["Title"].text, title);
  EXPECT_EQ(first["SrcIdentifier"].text, "S1");
  EXPECT_EQ(first["Type"].text, "IM");
  EXPECT_EQ(first["Sender"].text, "bob");
  EXPECT_EQ(first["Reciever"].text, ";alice");
  EXPECT_EQ(first["SessionDescription"].text, "D");
  EXPECT_EQ(list.lines[1]["MsgID"].text.size(), 38u);  // a generated {GUID}
  EXPECT_EQ(Admin({"list", "Alice", "--all"}).lines.size(), 3u);

  JsonLine part = One({"fetch", "alice", "m1"});
  EXPECT_EQ(part["Text"].text, "line one\n\"two\"\t三");
  EXPECT_EQ(part["Sender"].text, "bob");
  EXPECT_EQ(part["CreateTime"].text, "1000");
  EXPECT_NE(part["DataLength"].text, "0");
  EXPECT_EQ(One({"fetch", "Alice", "G1"})["Type"].text, "G");
  EXPECT_EQ(One({"fetch", "alice", "M1", "--since", "1001"}, 1)["error"].kind,
            JsonValue::Kind::kString);
  EXPECT_EQ(One({"fetch", "alice", list.lines[1]["MsgID"].text})["Text"].text, "from a file");
}

TEST_F(AdminTest, DeletesPurgeAndShrinkChangeTheFiles) {
  AddPerson("dan", "A", "100");
  AddPerson("dan", "B", "200");
  AddPerson("dan", "C", "300");
  EXPECT_EQ(One({"delete", "dan", "A"})["result"].text, "0");
  EXPECT_EQ(One({"delete", "dan", "A"}, 1)["result"].text, "-1");
  EXPECT_EQ(One({"count", "dan"})["count"].text, "2");
  // C (time 300) is newer than the time limit and stays; the result is the group deletion's.
  One({"delete-by-time", "dan", "C", "299", "4294967295", "0", "0"}, 1);
  EXPECT_EQ(One({"count", "dan"})["count"].text, "2");

  JsonLine before = One({"stats"});
  EXPECT_NE(before["dead_bytes"].text, "0");
  AddPerson("dan", "D", std::to_string(time(nullptr)));
  JsonLine shrunk = One({"shrink", "dan", "--max-age", "3600"});
  EXPECT_EQ(shrunk["result"].text, "0");
  EXPECT_EQ(shrunk["carried"].text, "1");
  EXPECT_EQ(shrunk["expired"].text, "2");
  // Only the young part is left, and the new text file holds nothing but its block; the dead
  // block stays in the backup.
  JsonLine after = One({"stats"});
  EXPECT_EQ(after["entries"].text, "1");
  EXPECT_EQ(after["dead_bytes"].text, before["dead_bytes"].text);
  FileStat text;
  ASSERT_EQ(fs_.Stat(*paths_.PersonTextPath(u"dan"), &text), 0);
  EXPECT_EQ(std::to_string(text.size), One({"fetch", "dan", "D"})["DataLength"].text);
  EXPECT_EQ(after["backup_pairs"].text, "1");
  // A reading verb keeps no index cache of its own; the configured size is shown.
  EXPECT_EQ(after["index_cache_limit_bytes"].text, "67108864");
  EXPECT_EQ(after["index_cache_hits"].text, "0");

  One({"add", "dan", "--sender", "s", "--type", "G", "--group", "--msgid", "G"});
  JsonLine purged = One({"purge", "dan"});
  EXPECT_EQ(purged["result"].text, "0");
  EXPECT_EQ(purged["removed"].items.size(), 6u);  // person, group and backup pairs
  EXPECT_EQ(One({"count", "dan", "--all"})["count"].text, "0");
  EXPECT_EQ(One({"stats"})["bytes"].text, "0");
}

TEST_F(AdminTest, VerifyNamesDamagedFilesAndFailsOnlyThen) {
  AddPerson("erin", "A", "100");
  AddPerson("erin", "B", "100");
  One({"add", "Grp", "--sender", "s", "--type", "G", "--group", "--msgid", "G"});
  AdminRun sound = Admin({"verify"});
  EXPECT_EQ(sound.exitCode, 0);
  ASSERT_EQ(sound.lines.size(), 1u);
  EXPECT_EQ(sound.lines[0]["ok"].text, "true");
  EXPECT_EQ(sound.lines[0]["entries"].text, "3");

  const std::string text = *paths_.PersonTextPath(u"erin");
  ASSERT_EQ(fs_.Truncate(text, 3), 0);
  ASSERT_EQ(fs_.WriteFile(*paths_.GroupIndexPath(u"Grp"), "<OffMsgIndexData DataSum="), 0);
  AdminRun damaged = Admin({"verify"});
  EXPECT_EQ(damaged.exitCode, 1);
  std::map<std::string, std::string> damage;
  for (JsonLine& line : damaged.lines) {
    if (line.count("damage")) damage[line["file"].text] += line["damage"].text;
  }
  EXPECT_NE(damage[*paths_.PersonIndexPath(u"erin")].find("beyond the end"), std::string::npos);
  EXPECT_NE(damage[*paths_.GroupIndexPath(u"Grp")].find("does not parse"), std::string::npos);
  EXPECT_EQ(damaged.lines.back()["damaged"].text, "3");  // two erin entries and the group index

  AdminRun one = Admin({"verify", "Grp"});
  EXPECT_EQ(one.exitCode, 1);
  EXPECT_EQ(one.lines.size(), 2u);
}

TEST_F(AdminTest, ChangingVerbsRefuseAStoreHeldByAServer) {
  AddPerson("fay", "A", "100");
  StoreRootLock server;
  ASSERT_EQ(server.TryLock(root_.path(), "pigeonbox pid 4242"), 0);
  const std::vector<std::vector<std::string>> changing = {
      {"add", "fay", "--sender", "s", "--type", "t"},
      {"delete", "fay", "A"},
      {"delete-by-time", "fay", "A", "9", "9", "9", "9"},
      {"purge", "fay"},
      {"shrink", "fay", "--max-age", "0"},
      {"import", "/dev/null"},
      {"expire", "--older-than", "0"},
  };
  for (const auto& args : changing) {
    JsonLine refused = One(args, 3);
    EXPECT_NE(refused["error"].text.find("in use by a running server (lock held on " +
                                         StoreRootLock::LockPath(root_.path()) +
                                         " by pigeonbox pid 4242)"),
              std::string::npos)
        << args[0] << ": " << refused["error"].text;
  }
  EXPECT_EQ(One({"count", "fay"})["count"].text, "1");  // reads still work, nothing changed
  EXPECT_EQ(One({"verify"})["ok"].text, "true");
  server.Unlock();
  EXPECT_EQ(One({"delete", "fay", "A"})["result"].text, "0");
}

// Every file below the root but the log, with its content.
std::map<std::string, std::string> StoreFiles(const std::string& root) {
  std::map<std::string, std::string> files;
  PosixFileSystem fs;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string();
    if (path.find("/Logs") != std::string::npos) continue;
    std::string content = "(directory)";
    if (!entry.is_directory()) fs.ReadFile(path, &content);
    files[path] = content;
  }
  return files;
}

TEST_F(AdminTest, ReadOnlyVerbsReportAnUnfinishedShrinkAndChangeNothing) {
  AddPerson("hank", "A", "100");
  // What a shrink killed between its journal entry and its renames leaves behind: the complete
  // new pair beside the owner's files.
  const std::string index = *paths_.PersonIndexPath(u"hank");
  const std::string text = *paths_.PersonTextPath(u"hank");
  auto temporary = [](const std::string& path, const char* extension) {
    return path.substr(0, path.rfind('/') + 1) + ".hank.~shrink" + extension;
  };
  ASSERT_EQ(fs_.WriteFile(temporary(index, ".xml"), "new index"), 0);
  ASSERT_EQ(fs_.WriteFile(temporary(text, ".txt"), "new text"), 0);
  ASSERT_EQ(fs_.MakeDir(root_.path() + "OffMsg/.shrink"), 0);
  ASSERT_EQ(fs_.WriteFile(root_.path() + "OffMsg/.shrink/p.hank", "complete 9 8 1 1"), 0);
  const std::map<std::string, std::string> before = StoreFiles(root_.path());

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"count", "hank"}, {"list", "hank"}, {"fetch", "hank", "A"}, {"verify"}, {"stats"}}) {
    AdminRun run = Admin(args);
    ASSERT_FALSE(run.lines.empty()) << args[0];
    EXPECT_EQ(run.lines[0]["unfinished_shrink"].text, "p.hank") << args[0] << ": " << run.out;
    EXPECT_EQ(StoreFiles(root_.path()), before) << args[0] << " changed the store";
  }
  // A changing verb holds the root lock and finishes the shrink first.
  Admin({"delete", "nobody", "X"});
  EXPECT_FALSE(fs_.Exists(root_.path() + "OffMsg/.shrink/p.hank"));
  std::string finished;
  ASSERT_EQ(fs_.ReadFile(index, &finished), 0);
  EXPECT_EQ(finished, "new index");
}

TEST_F(AdminTest, BadInputGetsAClearErrorNeverACrash) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* error;
  } cases[] = {
      {{}, 2, "no command given"},
      {{"frobnicate"}, 2, "unknown command frobnicate"},
      {{"count"}, 2, "wrong number of arguments"},
      {{"count", "a", "b"}, 2, "wrong number of arguments"},
      {{"count", "a", "--group", "--all"}, 2, "exclude each other"},
      {{"list", "a", "--bogus"}, 2, "not expected: --bogus"},
      {{"add", "a", "--sender"}, 2, "--sender: 1 required"},
      {{"add", "a", "--type", "t"}, 2, "needs --sender and --type"},
      {{"add", "a", "--sender", "s", "--type", "t", "--time", "12x"}, 2, "--time"},
      {{"add", "a", "--sender", "s", "--type", "t", "--time", "99999999999"}, 2, "--time"},
      {{"add", "a", "--sender", "s", "--type", "t", "--text-file", "/no/such/file"},
       2,
       "cannot read the text file"},
      {{"add", "a/b", "--sender", "s", "--type", "t"}, 2, "cannot name store files"},
      {{"add", "..", "--sender", "s", "--type", "t"}, 2, "cannot name store files"},
      {{"add", ".a.~shrink", "--sender", "s", "--type", "t"}, 2, "cannot name store files"},
      {{"count", "\xff\xfe"}, 2, "not UTF-8"},
      {{"fetch", "a", "m", "--since", "-1"}, 2, "--since"},
      {{"delete-by-time", "a", "m", "1", "2", "x", "4"}, 2, "DISTIME"},
      {{"shrink", "a"}, 2, "needs --max-age"},
      {{"shrink", "a", "--max-age", "nan"}, 2, "--max-age"},
  };
  for (const Case& c : cases) {
    JsonLine line = One(c.args, c.exitCode);
    EXPECT_NE(line["error"].text.find(c.error), std::string::npos)
        << testing::PrintToString(c.args) << " -> " << line["error"].text;
  }
  EXPECT_NE(
      One({"add", "a", "--sender", "s", "--type", "t", "--text-file", "-"}, 2, "\xc3(")["error"]
          .text.find("not UTF-8"),
      std::string::npos);
  rootArg_ = root_.path() + "missing";
  EXPECT_NE(One({"stats"}, 2)["error"].text.find("is not a directory"), std::string::npos);
}

TEST_F(AdminTest, AnswersMatchTheirMeaning) {
  // No messages is a count of 0; an index that cannot be read is a failure, never a count.
  for (const char* scope : {"--group", "--all"}) {
    EXPECT_EQ(One({"count", "nobody", scope})["count"].text, "0") << scope;
  }
  EXPECT_EQ(One({"count", "nobody"})["count"].text, "0");
  AddPerson("ivy", "A", "100");
  One({"add", "ivy", "--sender", "s", "--type", "G", "--group", "--msgid", "G"});
  EXPECT_EQ(One({"count", "ivy", "--all"})["count"].text, "2");
  ASSERT_EQ(fs_.WriteFile(*paths_.GroupIndexPath(u"ivy"), "<OffMsgIndexData DataSum="), 0);
  EXPECT_NE(One({"count", "ivy", "--all"}, 1)["error"].text.find("group index"), std::string::npos);

  std::map<std::string, std::string> before = StoreFiles(root_.path());
  before.erase(StoreRootLock::LockPath(root_.path()));
  EXPECT_NE(One({"shrink", "ivy", "--max-age", "-1"}, 2)["error"].text.find("--max-age"),
            std::string::npos);
  // A dry run lists what a purge removes, changes nothing and works beside a running server.
  StoreRootLock server;
  ASSERT_EQ(server.TryLock(root_.path(), "pigeonbox pid 1"), 0);
  JsonLine planned = One({"purge", "ivy", "--dry-run"});
  EXPECT_EQ(planned["dry_run"].text, "true");
  EXPECT_EQ(planned["would_remove"].items.size(), 4u);
  server.Unlock();
  std::map<std::string, std::string> after = StoreFiles(root_.path());
  after.erase(StoreRootLock::LockPath(root_.path()));
  EXPECT_EQ(after, before);
  EXPECT_EQ(One({"purge", "ivy"})["removed"].items, planned["would_remove"].items);
}

// The files of a store relative to its root, for comparing two roots.
std::map<std::string, std::string> RelativeStoreFiles(const std::string& root) {
  std::map<std::string, std::string> files;
  for (auto& [path, content] : StoreFiles(root)) {
    if (path.ends_with("/.lock")) continue;
    files[path.substr(root.size())] = content;
  }
  return files;
}

TEST_F(AdminTest, ExportImportRoundTripKeepsEveryPart) {
  One({"add",        "张三", "--sender",    "bob",
       "--type",     "IM",   "--title",     "say \"hi\"\n你好",
       "--msgid",    "A",    "--src",       "S",
       "--reciever", "张三", "--session",   "D",
       "--time",     "1000", "--text-file", "-"},
      0, "第一部分\t\"quoted\"");
  // Interleaved MsgIDs keep their order; a system sender's Reciever has no ";" in front.
  AddPerson("张三", "B", "1001");
  AddPerson("张三", "A", "1002");
  One({"add", "ann", "--sender", "{5D0C2A7E-3B19-4F6A-9E42-7C1D8B3F0A65}", "--type", "N",
       "--reciever", "ann", "--msgid", "N", "--time", "-5"});
  One({"add", "Grp", "--sender", "s", "--type", "G", "--group", "--msgid", "G", "--time", "7"});
  One({"add", "ann", "--sender", "s", "--type", "G", "--group", "--msgid", "G2", "--reciever",
       ";;x"});

  AdminRun exported = Admin({"export", "--all"});
  ASSERT_EQ(exported.exitCode, 0);
  ASSERT_EQ(exported.lines.size(), 7u) << exported.out;
  EXPECT_EQ(exported.lines[0]["format"].text, "pigeonbox-export");
  EXPECT_EQ(exported.lines[2]["text"].text, "第一部分\t\"quoted\"");
  EXPECT_EQ(Admin({"export", "张三"}).lines.size(), 4u);
  EXPECT_EQ(Admin({"export", "ann", "--all"}).lines.size(), 3u);
  const std::string file = io_.Write("export.jsonl", exported.out);

  TempDir target;
  rootArg_ = target.path();
  StoreRootLock server;
  ASSERT_EQ(server.TryLock(target.path(), "pigeonbox pid 7"), 0);
  EXPECT_NE(One({"import", file}, 3)["error"].text.find("in use by a running server"),
            std::string::npos);
  server.Unlock();
  JsonLine imported = One({"import", file});
  EXPECT_EQ(imported["imported"].text, "6");
  EXPECT_EQ(imported["skipped"].text, "0");
  // The same parts in the same order with the same attributes and texts: the same files.
  EXPECT_EQ(RelativeStoreFiles(target.path()), RelativeStoreFiles(root_.path()));
  const JsonLine stats = One({"stats"}), verify = One({"verify"});
  rootArg_ = root_.path();
  EXPECT_EQ(One({"stats"}), stats);
  EXPECT_EQ(One({"verify"}), verify);
}

TEST_F(AdminTest, ImportReportsBadLinesAndStoresOnlyWholeParts) {
  auto part = [](const std::string& owner, const std::string& extra) {
    return "{\"owner\": \"" + owner +
           "\", \"store\": \"person\", \"CreateTime\": 5, \"Type\": \"IM\", "
           "\"SrcIdentifier\": \"\", \"Sender\": \"bob\", \"Recievers\": \";x\", "
           "\"MsgID\": \"M\", \"SessionDesc\": \"\", \"text\": \"hi\"" +
           extra + "}";
  };
  const std::string header = "{\"format\": \"pigeonbox-export\", \"version\": 1}\n";
  const std::string file = io_.Write(
      "bad.jsonl", header + part("good", ", \"Title\": \"t\"") + "\n" + part("untitled", "") +
                       "\n" +                                     // 3: no Title
                       "{\"owner\": \"x\", \n" +                  // 4: torn line
                       part("a/b", ", \"Title\": \"\"") + "\n" +  // 5: bad owner
                       part("late", ", \"Title\": \"\", \"CreateTime\": 1") + "\n" +  // 6: twice
                       "\n" + part("fine", ", \"Title\": \"\\ud800\"") + "\n" +       // 8
                       part("fine", ", \"Title\": \"ok\"") + "\n" +
                       part("smile", ", \"Title\": \"\\ud83d\\ude00\"") + "\n");  // 10: not GBK
  AdminRun run = Admin({"import", file});
  EXPECT_EQ(run.exitCode, 1);
  std::map<std::string, std::string> errors;
  for (JsonLine& line : run.lines) {
    if (line.count("line")) errors[line["line"].text] = line["error"].text;
  }
  EXPECT_EQ(errors.size(), 6u) << run.out;
  EXPECT_NE(errors["3"].find("Title"), std::string::npos);
  EXPECT_NE(errors["4"].find("string was expected"), std::string::npos);
  EXPECT_NE(errors["5"].find("owner"), std::string::npos);
  EXPECT_NE(errors["6"].find("twice"), std::string::npos);
  EXPECT_NE(errors["8"].find("surrogate"), std::string::npos);
  EXPECT_NE(errors["10"].find("Title"), std::string::npos);
  EXPECT_EQ(run.lines.back()["imported"].text, "2");
  EXPECT_EQ(run.lines.back()["skipped"].text, "6");
  for (const char* owner : {"untitled", "late", "x", "smile"}) {
    EXPECT_EQ(One({"count", owner})["count"].text, "0") << owner;
  }
  JsonLine fine = One({"list", "fine"});
  EXPECT_EQ(fine["Title"].text, "ok");
  EXPECT_EQ(fine["Reciever"].text, ";x");
  EXPECT_EQ(One({"fetch", "good", "M"})["CreateTime"].text, "5");

  // A file that does not begin with the format line is refused whole.
  const std::string headless =
      io_.Write("headless.jsonl", part("other", ", \"Title\": \"\"") + "\n");
  EXPECT_NE(One({"import", headless}, 1)["error"].text.find("not a pigeonbox export"),
            std::string::npos);
  EXPECT_EQ(One({"count", "other"})["count"].text, "0");
}

TEST_F(AdminTest, ExpireDryRunListsExactlyWhatTheRunRemoves) {
  const std::string now = std::to_string(time(nullptr));
  AddPerson("alice", "X", "100");
  AddPerson("alice", "Y", now);
  AddPerson("alice", "X", "200");
  AddPerson("bob", "Y", now);
  One({"add", "Grp", "--sender", "s", "--type", "G", "--group", "--msgid", "G", "--time", "300"});
  EXPECT_NE(One({"expire"}, 2)["error"].text.find("--older-than"), std::string::npos);
  EXPECT_NE(One({"expire", "--older-than", "-1"}, 2)["error"].text.find("--older-than"),
            std::string::npos);

  std::map<std::string, std::string> before = StoreFiles(root_.path());
  before.erase(StoreRootLock::LockPath(root_.path()));
  StoreRootLock server;
  ASSERT_EQ(server.TryLock(root_.path(), "pigeonbox pid 9"), 0);
  AdminRun planned = Admin({"expire", "--older-than", "3600", "--dry-run"});
  server.Unlock();
  std::map<std::string, std::string> after = StoreFiles(root_.path());
  after.erase(StoreRootLock::LockPath(root_.path()));
  EXPECT_EQ(after, before);
  ASSERT_EQ(planned.exitCode, 0) << planned.out;
  ASSERT_EQ(planned.lines.size(), 3u) << planned.out;
  EXPECT_EQ(planned.lines[0]["owner"].text, "alice");
  EXPECT_EQ(planned.lines[0]["MsgIDs"].items, (std::vector<std::string>{"X", "X"}));
  EXPECT_EQ(planned.lines[0]["kept"].text, "1");
  EXPECT_EQ(planned.lines[1]["owner"].text, "Grp");
  EXPECT_EQ(planned.lines[2]["expired"].text, "3");

  AdminRun run = Admin({"expire", "--older-than", "3600"});
  ASSERT_EQ(run.exitCode, 0) << run.out;
  ASSERT_EQ(run.lines.size(), 3u) << run.out;
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(run.lines[i]["MsgIDs"], planned.lines[i]["MsgIDs"]);
    EXPECT_EQ(run.lines[i]["removed"].text, run.lines[i]["expired"].text);
  }
  EXPECT_EQ(run.lines[2]["removed"].text, "3");
  AdminRun left = Admin({"list", "alice"});
  ASSERT_EQ(left.lines.size(), 1u);
  EXPECT_EQ(left.lines[0]["MsgID"].text, "Y");
  EXPECT_EQ(One({"count", "bob"})["count"].text, "1");
  EXPECT_FALSE(fs_.Exists(*paths_.GroupIndexPath(u"Grp")));  // emptied: its files went
}

// Runs SQL on the SQLite file of the user database.
void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  sqlite3_close(db);
}

// The tool's argv for `args` on the root.
std::vector<std::string> AdminArgv(const std::string& root, const std::vector<std::string>& args) {
  std::vector<std::string> all = {PB_ADMIN_PATH, "--root", root};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

[[noreturn]] void Exec(std::vector<std::string> all) {
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);) {
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Everything the tool writes to a pseudo-terminal (stdout and stderr both) until it ends.
std::string OnTerminal(const std::vector<std::string>& argv) {
  int master = -1;
  pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  if (child < 0) return "(forkpty failed)";
  if (child == 0) Exec(argv);
  const std::string terminal = ReadAll(master);  // ends with EIO once the child has gone
  close(master);
  waitpid(child, nullptr, 0);
  return terminal;
}

TEST_F(AdminTest, SweepDryRunListsExactlyWhatTheSweepRemoves) {
  EXPECT_NE(One({"sweep"}, 1)["error"].text.find("no user database"), std::string::npos);
  const std::string users = io_.path() + "users.db";
  Sql(users,
      "create table Sys_user (ID integer primary key, UserName text, AccountState integer);"
      "insert into Sys_user (UserName, AccountState) values ('alice', 0), ('bob', 1), "
      "('carl', null), ('dave', 0), ('erin', 0);");
  root_.Write("Config/KVTServer.xml",
              "<KVTServers><DBServer><DB_Setting DBConnstring=\"Driver=SQLite3;Database=" + users +
                  "\"/></DBServer></KVTServers>");
  for (const char* owner : {"alice", "bob", "carl", "dave", "erin"}) AddPerson(owner, "M", "100");
  One({"add", "bob", "--sender", "s", "--type", "G", "--group", "--msgid", "G"});
  const std::vector<std::string> bobFiles = {
      *paths_.PersonIndexPath(u"bob"), *paths_.PersonTextPath(u"bob"),
      *paths_.GroupIndexPath(u"bob"), *paths_.GroupTextPath(u"bob")};
  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };

  StoreRootLock server;
  ASSERT_EQ(server.TryLock(root_.path(), "pigeonbox pid 3"), 0);
  AdminRun planned = Admin({"sweep", "--dry-run"});
  // Counted by user, whose person and group files are one owner; a pipe gets no progress.
  const std::string terminal = OnTerminal(AdminArgv(root_.path(), {"sweep", "--dry-run"}));
  server.Unlock();
  EXPECT_NE(terminal.find("\r\x1b[Ksweep: 0/5 owners"), std::string::npos) << terminal;
  EXPECT_NE(terminal.find("\r\x1b[Ksweep: 5/5 owners"), std::string::npos) << terminal;
  EXPECT_EQ(planned.err, "");
  ASSERT_EQ(planned.exitCode, 0) << planned.out;
  ASSERT_EQ(planned.lines.size(), 2u) << planned.out;
  EXPECT_EQ(planned.lines[0]["user"].text, "bob");
  EXPECT_EQ(sorted(planned.lines[0]["would_remove"].items), sorted(bobFiles));
  EXPECT_EQ(planned.lines[1]["users_gone"].text, "1");
  for (const std::string& file : bobFiles) EXPECT_TRUE(fs_.Exists(file)) << file;

  AdminRun swept = Admin({"sweep"});
  ASSERT_EQ(swept.exitCode, 0) << swept.out;
  ASSERT_EQ(swept.lines.size(), 2u) << swept.out;
  EXPECT_EQ(sorted(swept.lines[0]["removed"].items), sorted(bobFiles));
  for (const std::string& file : bobFiles) EXPECT_FALSE(fs_.Exists(file)) << file;
  EXPECT_EQ(One({"count", "alice"})["count"].text, "1");

  // The safety valve: two of four owners leaving is more than the share a sweep may take.
  Sql(users, "update Sys_user set AccountState = 1 where UserName in ('carl', 'dave');");
  for (const char* args : {"--dry-run", ""}) {
    AdminRun refused = Admin(std::string(args).empty() ? std::vector<std::string>{"sweep"}
                                                       : std::vector<std::string>{"sweep", args});
    EXPECT_EQ(refused.exitCode, 1) << args;
    ASSERT_EQ(refused.lines.size(), 1u) << refused.out;
    EXPECT_NE(refused.lines[0]["refused"].text.find("SweepMaxShare"), std::string::npos);
  }
  EXPECT_EQ(One({"count", "carl"})["count"].text, "1");
}

// Runs the tool with its stdout on a pipe that is left unread until Ctrl-C (SIGINT) has been
// sent, after the first `before` bytes: the tool is then certainly in the middle of its work,
// blocked on the full pipe or about to be. Returns the exit code; *out gets all of stdout.
int InterruptMidway(const std::vector<std::string>& argv, size_t before, std::string* out) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    Exec(argv);
  }
  close(pipeFds[1]);
  out->clear();
  char c;
  while (out->size() < before && read(pipeFds[0], &c, 1) == 1) out->push_back(c);
  kill(child, SIGINT);
  *out += ReadAll(pipeFds[0]);
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(AdminTest, ProgressOnATerminalOnlyAndCtrlCStopsBetweenOwners) {
  // 600 owners of two parts each, one old and one young, written directly through the manager.
  constexpr int kOwners = 600;
  {
    LogFile log;
    OffMsgStoreMgr store(root_.path(), StoreSettings(), fs_, log);
    ASSERT_EQ(store.InitStores(), 1);
    IndexRecord record;
    record.Sender = u"bob";
    record.Type = u"IM";
    record.MsgID = u"M";
    for (int i = 0; i < kOwners; ++i) {
      const std::u16string owner = u"user" + FromUtf8(std::to_string(i));
      record.CreateTime = 100;
      ASSERT_EQ(store.AddOffMsg(owner, u"old text of some length to fill the pipe", record), 0);
      record.CreateTime = static_cast<int32_t>(time(nullptr));
      ASSERT_EQ(store.AddOffMsg(owner, u"young text", record), 0);
    }
  }

  // The progress line goes to a terminal, never into a pipe or a file.
  const std::string terminal = OnTerminal(AdminArgv(root_.path(), {"stats"}));
  EXPECT_NE(terminal.find("\r\x1b[Kstats: 0/51 directories"), std::string::npos) << terminal;
  EXPECT_NE(terminal.find("\"owners\": 600"), std::string::npos);
  for (const char* verb : {"stats", "verify"}) {
    AdminRun piped = Admin({verb});
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.err, "") << verb;
  }

  // Ctrl-C in the middle of an export: every owner in it is whole, the rest are missing.
  std::string exported;
  EXPECT_EQ(InterruptMidway(AdminArgv(root_.path(), {"export", "--all"}), 1000, &exported), 130);
  // The texts of each owner's parts in an export.
  auto textsByOwner = [](const std::string& text) {
    std::map<std::string, std::vector<std::string>> texts;
    std::istringstream lines(text);
    std::string format;
    std::getline(lines, format);
    for (std::string line; std::getline(lines, line);) {
      std::optional<JsonLine> parsed = JsonReader(line).Object();
      EXPECT_TRUE(parsed) << "a cut line: " << line;
      if (parsed) texts[(*parsed)["owner"].text].push_back((*parsed)["text"].text);
    }
    return texts;
  };
  const auto partsOf = textsByOwner(exported);
  EXPECT_GT(partsOf.size(), 0u);
  EXPECT_LT(partsOf.size(), static_cast<size_t>(kOwners));
  for (const auto& [owner, texts] : partsOf) EXPECT_EQ(texts.size(), 2u) << owner;

  // Ctrl-C in the middle of an expire: every owner lost its old part or kept both.
  std::string expired;
  EXPECT_EQ(
      InterruptMidway(AdminArgv(root_.path(), {"expire", "--older-than", "3600"}), 200, &expired),
      130);
  EXPECT_NE(expired.find("\"interrupted\": true"), std::string::npos);
  int done = 0, untouched = 0;
  const auto left = textsByOwner(Admin({"export", "--all"}).out);
  EXPECT_EQ(left.size(), static_cast<size_t>(kOwners));
  for (const auto& [owner, texts] : left) {
    if (texts == std::vector<std::string>{"young text"}) {
      ++done;
    } else {
      EXPECT_EQ(texts.size(), 2u) << owner;
      ++untouched;
    }
  }
  EXPECT_GT(done, 0);
  EXPECT_GT(untouched, 0);
}

TEST_F(AdminTest, RootFromTheEnvironmentAndChangesLogged) {
  AdminRun added = Admin({"add", "gus", "--sender", "s", "--type", "t", "--msgid", "X"}, "", true);
  EXPECT_EQ(added.exitCode, 0);
  EXPECT_TRUE(fs_.Exists(*paths_.PersonIndexPath(u"gus")));
  std::string log;
  ASSERT_EQ(fs_.ReadFile(root_.path() + "Logs/Pigeonbox.log", &log), 0);
  EXPECT_NE(log.find("pigeonbox-admin add gus --sender s --type t --msgid X: exit 0"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace pigeonbox
