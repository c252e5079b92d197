#pragma once

// A thread of the geometry stream's own, which merges full batches of streamed corners
// while Ruby goes on calling. Ruby's thread fills one batch (a slot) at a time and hands
// it over; the worker works the handed slots one by one, in the order they came.
//
// Ownership is the whole protocol: a slot belongs to whoever holds it (the caller filling
// it, the queue, or the worker working it), and whatever the work touches belongs to the
// worker from the first hand-over until Wait() returns. The lock is taken only to pass a
// slot along or to look at the queue: never while Ruby runs, never while work runs.
//
// The worker never calls into Ruby and takes no signals. A fork waits until the worker is
// idle; the child, which has no such thread, starts a new one when it next hands a slot
// over.

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Zarnik {

class StreamWorker {
 public:
  // `work` runs on the worker thread, once per handed slot. What it throws is kept for
  // Wait(); the slots handed after a failure are passed by without work.
  StreamWorker(std::size_t slots, std::function<void(std::size_t slot)> work);
  ~StreamWorker();
  StreamWorker(const StreamWorker&) = delete;
  StreamWorker& operator=(const StreamWorker&) = delete;

  // The slot the caller fills first.
  std::size_t FirstSlot() const { return 0; }

  // Passes `slot`, just filled, to the worker and answers the slot to fill next, which may
  // still hold what it held before. Waits while every other slot is queued or in work.
  // False when no thread could be started: `slot` stays the caller's, to work itself.
  // A failure of earlier work is thrown here instead (it stays for Wait to answer), and
  // `slot` stays the caller's.
  bool HandOver(std::size_t slot, std::size_t& next);

  // Waits until every handed slot has been worked or passed by. Answers the first failure
  // since the last call (null for none), after which the worker works slots again.
  std::exception_ptr Wait();

  // Waits, then ends the thread; a later hand-over starts another.
  void Stop();

  // For the fork handlers.
  void BeforeFork();
  void AfterForkInParent();
  void AfterForkInChild();

 private:
  void Run();
  bool Idle() const { return queued_ == 0 && !working_; }
  bool StartLocked();
  // Waits, the lock held by `lock`, until `done()`; the worker signals after every slot.
  template <class Done>
  void WaitForSlot(std::unique_lock<std::mutex>& lock, Done&& done) {
    while (!done()) {
      caller_waiting_ = true;
      slot_done_->wait(lock);
      caller_waiting_ = false;
    }
  }
  // Wakes the worker for whatever is queued and waits until it is idle.
  void WaitIdle(std::unique_lock<std::mutex>& lock);

  const std::function<void(std::size_t)> work_;
  std::mutex mutex_;
  // Held by pointer, so that a child of a fork can leave its parent's waiters behind.
  std::unique_ptr<std::condition_variable> work_ready_;  // the worker waits for a slot or the end
  std::unique_ptr<std::condition_variable> slot_done_;   // the caller waits for a free slot or idle
  // Handed slots in order: a ring with room for every slot, so handing over never allocates.
  std::vector<std::size_t> queue_;
  std::size_t queue_head_ = 0;
  std::size_t queued_ = 0;
  // A sleeping worker is woken once this many slots are queued (or none is left free).
  const std::size_t wake_after_;
  std::vector<std::size_t> free_;
  bool working_ = false;
  bool stopping_ = false;
  bool worker_waiting_ = false;
  bool caller_waiting_ = false;
  std::exception_ptr failure_;
  std::unique_ptr<std::thread> thread_;
};

}  // namespace Zarnik
