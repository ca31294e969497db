// A user database whose calls a stop can walk away from.
//
// The night jobs ask the database one name at a time. A database that stops answering (a hung
// server, a connection the driver does not see break) would hold a job inside one call, and the
// service's stop, which joins the jobs, with it. Here every call runs on a worker thread of the
// object's own while the caller waits for the answer; Abandon answers every waiting and later
// call with kNotAsked at once (the sweep then deletes nothing), and a call stuck in the database
// is left to finish on the worker, which owns the database and frees it when it is done. The
// connection itself is opened on the worker too, so a start can walk away from a database that
// does not answer the login either.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>
#include <string_view>

#include "offmsg/user_database.h"

namespace pigeonbox {

class StoppableUserDatabase final : public UserDatabase {
 public:
  // How long the destructor waits for the worker to close the database.
  static constexpr std::chrono::milliseconds kCloseWait{1000};

  using Opener = std::function<std::unique_ptr<UserDatabase>()>;

  // Runs `open` on a new worker and waits for it, or until `stop` is requested. Null when the
  // open failed (null from `open`) or the stop came first; an open still running is then left to
  // end on the worker, which frees what it opened. `open` must hold what it uses.
  static std::unique_ptr<StoppableUserDatabase> Open(Opener open, std::stop_token stop);
  // Abandon(kCloseWait).
  ~StoppableUserDatabase() override;
  StoppableUserDatabase(const StoppableUserDatabase&) = delete;
  StoppableUserDatabase& operator=(const StoppableUserDatabase&) = delete;

  // Thread-safe; the calls of several threads run one after the other.
  Answer Query(std::u16string_view name) override;
  Answer AnyActiveUser() override;

  // Answers every waiting and later call with kNotAsked, then waits up to `limit` for the worker
  // to close the database. True when it did; false when a call is still stuck in the database
  // (the worker frees it once the call returns). Safe to call more than once.
  bool Abandon(std::chrono::milliseconds limit);

 private:
  struct Shared;
  explicit StoppableUserDatabase(std::shared_ptr<Shared> shared);
  // Runs `ask` on the worker and waits for its answer, or for Abandon (kNotAsked).
  Answer Ask(std::function<Answer(UserDatabase&)> ask);
  std::shared_ptr<Shared> shared_;
};

}  // namespace pigeonbox
