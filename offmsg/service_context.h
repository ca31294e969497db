// What the dispatcher and the command handlers of one running service share.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/clock.h"
#include "base/sleeper.h"
#include "link/contracts/link_services.h"
#include "offmsg/excluded_users.h"
#include "service/log_file.h"
#include "store/offmsg_store_mgr.h"

namespace pigeonbox {

struct ServiceContext {
  LinkOwner& owner;
  OffMsgStoreMgr& store;
  const ExcludedUsers& excluded;
  LogFile& log;
  const Clock& clock;
  Sleeper& sleeper;
  // Replies of GET_OFFMSG_TXT_EX since the last pause, shared by all requests of the service.
  std::atomic<int>& txtExReplies;
  int32_t localMode = 0;
};

}  // namespace pigeonbox
