#include "tools/admin_context.h"

#include <cstdio>

#include "base/text.h"
#include "store/store_paths.h"

namespace pigeonbox::admin {

OffMsgStoreMgr& AdminContext::store() {
  if (!store_) {
    store_ =
        std::make_unique<OffMsgStoreMgr>(root_, ReadServerSettings(root_).offmsg.store, fs_, log_);
    store_->InitStores(changesStore_ ? StoreAccess::kReadWrite : StoreAccess::kReadOnly);
    if (!changesStore_) {
      for (const std::string& shrink : store_->UnfinishedShrinks()) {
        const std::string line =
            JsonObject()
                .Add("unfinished_shrink", shrink)
                .Add("note", "finished by the next server start or changing verb")
                .str() +
            "\n";
        std::fwrite(line.data(), 1, line.size(), notesToStderr_ ? stderr : stdout);
      }
    }
  }
  return *store_;
}

IndexStore& AdminContext::groupIndex() {
  if (!groupIndex_) {
    const StoreSettings& settings = store().settings();
    groupIndex_ = std::make_unique<DisGroupIndexStore>(settings.storeDisGroupMaxCount,
                                                       settings.syncWrites, paths(), fs_, log_);
  }
  return *groupIndex_;
}

IndexStore& AdminContext::personIndex() {
  if (!personIndex_) {
    const StoreSettings& settings = store().settings();
    personIndex_ = std::make_unique<OffMsgIndexStore>(settings.storeMaxCount, settings.syncWrites,
                                                      paths(), fs_, log_);
  }
  return *personIndex_;
}

void AdminContext::Print(const JsonObject& line) {
  std::string text = line.str() + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

int AdminContext::Fail(std::string_view message, int exitCode) {
  Print(JsonObject().Add("error", message));
  return exitCode;
}

std::optional<std::u16string> AdminContext::Text(const std::string& utf8, std::string_view what) {
  std::u16string text = FromUtf8(utf8);
  if (ToUtf8(text) != utf8) {
    Fail(std::string(what) + " is not UTF-8", kExitUsage);
    return std::nullopt;
  }
  return text;
}

std::optional<std::u16string> AdminContext::Owner(const std::string& utf8) {
  std::optional<std::u16string> owner = Text(utf8, "the owner name");
  if (owner && !IsStorableOwnerName(*owner)) {
    Fail("the owner name \"" + utf8 + "\" cannot name store files", kExitUsage);
    return std::nullopt;
  }
  return owner;
}

}  // namespace pigeonbox::admin
