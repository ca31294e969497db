// A store manager over a temporary install root, on the fault-injecting file layer with a manual
// clock and the server's log, for the tests of the store manager and of the shrink.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/offmsg_store_mgr.h"
#include "suite/xow_zip.h"
#include "testutil/store/faulty_file_system.h"
#include "testutil/temp_dir.h"

namespace pigeonbox::testutil {

// The manual clock's time at the start of each test.
inline constexpr int64_t kStoreNow = 1'700'000'000;

// A person message's index fields: from bob to alice, titled "t-<msgId>".
inline IndexRecord Record(std::u16string msgId, int32_t createTime) {
  IndexRecord r;
  r.CreateTime = createTime;
  r.Title = u"t-" + msgId;
  r.Type = u"Quorvel.KVT.IM";
  r.Sender = u"bob";
  r.Reciever = u"alice";
  r.MsgID = std::move(msgId);
  return r;
}

// The text a stored part holds: its UTF-16 units up to the zero unit; "(undecodable)" when the
// block does not decompress.
inline std::u16string StoredText(const TextRecord& part) {
  std::vector<uint8_t> out(1 << 16);
  uint32_t length = static_cast<uint32_t>(out.size());
  if (xowzip::UnCompress(out.data(), &length, part.Data.data(),
                         static_cast<uint32_t>(part.Data.size())) != 0)
    return u"(undecodable)";
  std::u16string text;
  for (uint32_t i = 0; i + 1 < length && (out[i] | out[i + 1]); i += 2)
    text += static_cast<char16_t>(out[i] | out[i + 1] << 8);
  return text;
}

class StoreMgrFixture : public ::testing::Test {
 protected:
  static constexpr int64_t kNow = kStoreNow;

  StoreMgrFixture() : faulty_(posix_), clock_(kNow) {
    log_.Open(dir_.path() + "Logs", "Pigeonbox.log");
  }

  // A new manager, as at a start of the server.
  OffMsgStoreMgr& Start(StoreSettings settings = {}) {
    mgr_ = std::make_unique<OffMsgStoreMgr>(dir_.path(), settings, faulty_, log_, clock_);
    mgr_->InitStores();
    return *mgr_;
  }
  std::string Log() { return dir_.Read("Logs/Pigeonbox.log"); }

  TempDir dir_;
  PosixFileSystem posix_;
  FaultyFileSystem faulty_;
  ManualClock clock_;
  LogFile log_;
  std::unique_ptr<OffMsgStoreMgr> mgr_;
};

}  // namespace pigeonbox::testutil
