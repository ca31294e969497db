#include "offmsg/stoppable_user_database.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace pigeonbox {

namespace {

struct Call {
  std::function<UserDatabase::Answer(UserDatabase&)> ask;
  std::optional<UserDatabase::Answer> answer;
};

}  // namespace

// Owned by the object and by the worker, so either may go first.
struct StoppableUserDatabase::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::shared_ptr<Call>> calls;  // waiting for the worker
  bool abandoned = false;
  bool closed = false;               // the worker has freed the database and ended
  std::unique_ptr<UserDatabase> db;  // used by the worker only

  void Work() {
    for (;;) {
      std::shared_ptr<Call> call;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return abandoned || !calls.empty(); });
        if (abandoned) break;
        call = std::move(calls.front());
        calls.pop_front();
      }
      UserDatabase::Answer answer = UserDatabase::Answer::kFailed;
      try {
        answer = call->ask(*db);
      } catch (...) {
        // Out of memory in the driver: the question stays unanswered.
      }
      std::lock_guard lock(mutex);
      call->answer = answer;
      changed.notify_all();
    }
    db.reset();
    std::lock_guard lock(mutex);
    closed = true;
    changed.notify_all();
  }
};

StoppableUserDatabase::StoppableUserDatabase(std::unique_ptr<UserDatabase> db)
    : shared_(std::make_shared<Shared>()) {
  shared_->db = std::move(db);
  // Detached: it may outlive this object when a call hangs; it holds what it uses.
  std::thread([shared = shared_] { shared->Work(); }).detach();
}

StoppableUserDatabase::~StoppableUserDatabase() {
  Abandon(kCloseWait);
}

UserDatabase::Answer StoppableUserDatabase::Query(std::u16string_view name) {
  return Ask([name = std::u16string(name)](UserDatabase& db) { return db.Query(name); });
}

UserDatabase::Answer StoppableUserDatabase::AnyActiveUser() {
  return Ask([](UserDatabase& db) { return db.AnyActiveUser(); });
}

UserDatabase::Answer StoppableUserDatabase::Ask(
    std::function<UserDatabase::Answer(UserDatabase&)> ask) {
  auto call = std::make_shared<Call>();
  call->ask = std::move(ask);
  std::unique_lock lock(shared_->mutex);
  if (shared_->abandoned) return Answer::kNotAsked;
  shared_->calls.push_back(call);
  shared_->changed.notify_all();
  shared_->changed.wait(lock, [&] { return call->answer || shared_->abandoned; });
  return call->answer ? *call->answer : Answer::kNotAsked;
}

bool StoppableUserDatabase::Abandon(std::chrono::milliseconds limit) {
  std::unique_lock lock(shared_->mutex);
  shared_->abandoned = true;
  shared_->calls.clear();
  shared_->changed.notify_all();
  return shared_->changed.wait_for(lock, limit, [this] { return shared_->closed; });
}

}  // namespace pigeonbox
