#include "offmsg/stoppable_user_database.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/mutex.h"

namespace pigeonbox {

namespace {

using Opener = StoppableUserDatabase::Opener;

struct Call {
  std::function<UserDatabase::Answer(UserDatabase&)> ask;
  std::optional<UserDatabase::Answer> answer;
};

}  // namespace

// Owned by the object and by the worker, so either may go first.
struct StoppableUserDatabase::Shared {
  Mutex mutex;
  std::condition_variable changed;
  std::deque<std::shared_ptr<Call>> calls GUARDED_BY(mutex);  // waiting for the worker
  bool abandoned GUARDED_BY(mutex) = false;
  // The open has ended; db is set when it succeeded.
  bool opened GUARDED_BY(mutex) = false;
  bool closed GUARDED_BY(mutex) = false;  // the worker has freed the database and ended
  // Set under the mutex; then used by the worker only, and read by Open once opened.
  std::unique_ptr<UserDatabase> db;

  void Work(const Opener& open) {
    std::unique_ptr<UserDatabase> connection;
    try {
      connection = open();
    } catch (...) {
      // Out of memory in the driver: no connection.
    }
    {
      MutexLock lock(mutex);
      db = std::move(connection);
      opened = true;
      changed.notify_all();
    }
    for (;;) {
      std::shared_ptr<Call> call;
      {
        MutexLock lock(mutex);
        lock.Wait(changed, [this]() REQUIRES(mutex) { return abandoned || !calls.empty(); });
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
      MutexLock lock(mutex);
      call->answer = answer;
      changed.notify_all();
    }
    db.reset();
    MutexLock lock(mutex);
    closed = true;
    changed.notify_all();
  }
};

std::unique_ptr<StoppableUserDatabase> StoppableUserDatabase::Open(Opener open,
                                                                   std::stop_token stop) {
  auto shared = std::make_shared<Shared>();
  // Detached: it may outlive this object when a call hangs; it holds what it uses.
  std::thread([shared, open = std::move(open)] { shared->Work(open); }).detach();
  // Registered before the lock is taken: when the stop is already requested it runs here.
  std::stop_callback wake(stop, [state = shared.get()] {
    MutexLock lock(state->mutex);
    state->changed.notify_all();
  });
  Shared& state = *shared;
  MutexLock lock(state.mutex);
  lock.Wait(state.changed,
            [&]() REQUIRES(state.mutex) { return state.opened || stop.stop_requested(); });
  if (state.opened && state.db) {
    return std::unique_ptr<StoppableUserDatabase>(new StoppableUserDatabase(std::move(shared)));
  }
  state.abandoned = true;  // the worker frees a late connection and ends
  state.changed.notify_all();
  return nullptr;
}

StoppableUserDatabase::StoppableUserDatabase(std::shared_ptr<Shared> shared)
    : shared_(std::move(shared)) {}

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
  MutexLock lock(shared_->mutex);
  if (shared_->abandoned) return Answer::kNotAsked;
  shared_->calls.push_back(call);
  shared_->changed.notify_all();
  lock.Wait(shared_->changed,
            [&]() REQUIRES(shared_->mutex) { return call->answer || shared_->abandoned; });
  return call->answer ? *call->answer : Answer::kNotAsked;
}

bool StoppableUserDatabase::Abandon(std::chrono::milliseconds limit) {
  MutexLock lock(shared_->mutex);
  shared_->abandoned = true;
  shared_->calls.clear();
  shared_->changed.notify_all();
  return lock.WaitFor(shared_->changed, limit,
                      [this]() REQUIRES(shared_->mutex) { return shared_->closed; });
}

}  // namespace pigeonbox
