// The stream's merge thread: a failed merge reaches the caller once and the worker goes on
// afterwards, and a child of a fork can go on streaming instead of waiting forever for a
// thread that only its parent has.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "sketchup/stream_worker.h"

namespace Zarnik {
namespace {

TEST(StreamWorkerTest, AFailureReachesTheCallerOnceAndLaterWorkRuns) {
  std::vector<int> worked;  // written on the worker, read after Wait
  bool fail_next = true;
  StreamWorker worker(3, [&](std::size_t slot) {
    if (fail_next) {
      fail_next = false;
      throw std::runtime_error("out of room");
    }
    worked.push_back(static_cast<int>(slot));
  });
  std::size_t slot = worker.FirstSlot();
  std::size_t next = slot;
  ASSERT_TRUE(worker.HandOver(slot, next));  // fails on the worker
  slot = next;
  EXPECT_ANY_THROW({
    // The failure shows at a later hand-over at the latest.
    for (int i = 0; i < 100; ++i) {
      ASSERT_TRUE(worker.HandOver(slot, next));
      slot = next;
    }
  });
  EXPECT_NE(worker.Wait(), nullptr);
  EXPECT_EQ(worker.Wait(), nullptr) << "a failure is answered once";
  EXPECT_TRUE(worked.empty()) << "slots handed after the failure are passed by: they build on it";

  ASSERT_TRUE(worker.HandOver(slot, next));
  EXPECT_EQ(worker.Wait(), nullptr);
  EXPECT_EQ(worked, std::vector<int>{static_cast<int>(slot)});
}

TEST(StreamWorkerTest, AChildOfAForkStreamsOnItsOwnThread) {
  std::atomic<int> worked{0};
  StreamWorker worker(4, [&](std::size_t) { ++worked; });
  std::size_t slot = worker.FirstSlot();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(worker.HandOver(slot, slot));

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a hang ends the child by signal, which the parent reports
    const int before = worked.load();
    for (int i = 0; i < 50; ++i) {
      if (!worker.HandOver(slot, slot)) _exit(2);
    }
    if (worker.Wait() != nullptr) _exit(3);
    _exit(worked.load() == before + 50 ? 0 : 4);
  }
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(worker.HandOver(slot, slot));
  EXPECT_EQ(worker.Wait(), nullptr);
  EXPECT_EQ(worked.load(), 100);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed (signal " << WTERMSIG(status) << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace Zarnik
