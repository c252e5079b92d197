#include "sketchup/stream_worker.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <utility>

namespace Zarnik {

namespace {

// Every worker alive, for the fork handlers. Never destroyed: a worker of a static object
// may outlive any other static.
struct Workers {
  std::mutex mutex;
  std::vector<StreamWorker*> live;
};

Workers& AllWorkers() {
  static Workers* const workers = new Workers;
  return *workers;
}

void PrepareFork() {
  AllWorkers().mutex.lock();
  for (StreamWorker* worker : AllWorkers().live) worker->BeforeFork();
}

void ParentAfterFork() {
  for (StreamWorker* worker : AllWorkers().live) worker->AfterForkInParent();
  AllWorkers().mutex.unlock();
}

void ChildAfterFork() {
  for (StreamWorker* worker : AllWorkers().live) worker->AfterForkInChild();
  AllWorkers().mutex.unlock();
}

}  // namespace

StreamWorker::StreamWorker(std::size_t slots, std::function<void(std::size_t)> work)
    : work_(std::move(work)),
      work_ready_(std::make_unique<std::condition_variable>()),
      slot_done_(std::make_unique<std::condition_variable>()),
      queue_(std::max<std::size_t>(slots, 2)),
      wake_after_(std::max<std::size_t>(queue_.size() / 2, 1)) {
  // The caller holds the first slot; the rest are free. The queue can hold all but one.
  free_.reserve(queue_.size());
  for (std::size_t slot = queue_.size(); slot-- > 1;) free_.push_back(slot);
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(PrepareFork, ParentAfterFork, ChildAfterFork); });
  std::lock_guard<std::mutex> lock(AllWorkers().mutex);
  AllWorkers().live.push_back(this);
}

StreamWorker::~StreamWorker() {
  Stop();
  std::lock_guard<std::mutex> lock(AllWorkers().mutex);
  std::vector<StreamWorker*>& live = AllWorkers().live;
  live.erase(std::remove(live.begin(), live.end(), this), live.end());
}

bool StreamWorker::StartLocked() {
  // The thread is made with every signal blocked, so that none of the host's handlers
  // ever runs on it; the caller's mask is put back at once.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    thread_ = std::make_unique<std::thread>([this] { Run(); });
  } catch (...) {
    thread_.reset();
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread_ != nullptr;
}

bool StreamWorker::HandOver(std::size_t slot, std::size_t& next) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (failure_) {
    // Kept until Wait: the slots still queued must be passed by, since they build on the
    // work that failed.
    std::exception_ptr failure = failure_;
    lock.unlock();
    std::rethrow_exception(failure);
  }
  if (!thread_ && !StartLocked()) return false;
  queue_[(queue_head_ + queued_) % queue_.size()] = slot;
  ++queued_;
  // A sleeping worker is woken for several slots at once, not for each: a wake-up is a
  // system call on this thread and, in a virtual machine, an exit to the host, which can
  // cost as much as the calls that filled a slot.
  if (worker_waiting_ && (queued_ >= wake_after_ || free_.empty())) work_ready_->notify_one();
  WaitForSlot(lock, [this] { return !free_.empty(); });
  next = free_.back();
  free_.pop_back();
  return true;
}

void StreamWorker::WaitIdle(std::unique_lock<std::mutex>& lock) {
  // Slots queued below the wake-up count would otherwise wait for a wake that never comes.
  if (worker_waiting_ && queued_ > 0) work_ready_->notify_one();
  WaitForSlot(lock, [this] { return Idle(); });
}

std::exception_ptr StreamWorker::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitIdle(lock);
  return std::exchange(failure_, nullptr);
}

void StreamWorker::Run() {
  // Named, so that a profile or a benchmark can tell it from the render threads.
  pthread_setname_np(pthread_self(), "zarnik-merge");
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (queued_ == 0 && !stopping_) {
      worker_waiting_ = true;
      work_ready_->wait(lock);
      worker_waiting_ = false;
    }
    // A stop lets the queue run dry first.
    if (queued_ == 0) return;
    const std::size_t slot = queue_[queue_head_];
    queue_head_ = (queue_head_ + 1) % queue_.size();
    --queued_;
    working_ = true;
    const bool pass_by = failure_ != nullptr;
    lock.unlock();
    std::exception_ptr failure;
    if (!pass_by) {
      try {
        work_(slot);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    lock.lock();
    if (failure && !failure_) failure_ = failure;
    working_ = false;
    free_.push_back(slot);
    if (caller_waiting_) slot_done_->notify_one();
  }
}

void StreamWorker::Stop() {
  std::unique_ptr<std::thread> thread;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_) return;
    stopping_ = true;
    work_ready_->notify_one();
    thread = std::move(thread_);
  }
  thread->join();
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
}

void StreamWorker::BeforeFork() {
  // Held through the fork, so that the child finds the worker idle and its state whole.
  std::unique_lock<std::mutex> lock(mutex_);
  WaitIdle(lock);
  lock.release();
}

void StreamWorker::AfterForkInParent() { mutex_.unlock(); }

void StreamWorker::AfterForkInChild() {
  // The child has no worker thread. Its handle and the condition variables it waited on
  // are left as they are (they name a thread of the parent) and replaced.
  static_cast<void>(thread_.release());
  static_cast<void>(work_ready_.release());
  static_cast<void>(slot_done_.release());
  work_ready_ = std::make_unique<std::condition_variable>();
  slot_done_ = std::make_unique<std::condition_variable>();
  worker_waiting_ = false;
  caller_waiting_ = false;
  stopping_ = false;
  mutex_.unlock();
}

}  // namespace Zarnik
