#include "application/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace Zarnik {
namespace {

using Clock = std::chrono::system_clock;

// Milliseconds since the epoch of a debug-log time stamp "YYYY-mm-dd HH:MM:SS.mmm" (UTC).
long long StampMillis(const std::string& stamp) {
  std::tm utc{};
  if (!strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &utc)) return -1;
  return static_cast<long long>(timegm(&utc)) * 1000 + std::atoll(stamp.c_str() + 20);
}

long long NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// The debug log stamps a line when its turn to be written has come, not when it was asked
// for: a line that waited behind another must not carry an older time than that one.
//
// The log file is made a FIFO without a reader, so the first line holds the log's lock
// while it waits to open the file; a second line asked for meanwhile has to wait for the
// lock. Only when the reader opens may either be written.
TEST(DebugLogTest, LinesAreStampedWhenTheirTurnComes) {
  char pattern[] = "/tmp/logger_test_XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string home = pattern;
  struct HomeBack {
    std::string old;
    bool had;
    ~HomeBack() { had ? ::setenv("HOME", old.c_str(), 1) : ::unsetenv("HOME"); }
  } home_back{std::getenv("HOME") ? std::getenv("HOME") : "", std::getenv("HOME") != nullptr};
  ::setenv("HOME", home.c_str(), 1);
  const std::string logs = home + "/Documents/Zarnik/SketchUp/logs";
  if (Logger::DebugLogPath() != logs + "/debug-log.txt") {
    std::system(("rm -rf " + home).c_str());
    GTEST_SKIP() << "the debug log was fixed elsewhere by an earlier test in this process";
  }
  ASSERT_EQ(std::system(("mkdir -p " + logs).c_str()), 0);
  const std::string path = Logger::DebugLogPath();
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);

  std::thread holder([] { DebugLog("holds the lock"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::thread waiter([] { DebugLog("waits for the lock"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));

  const long long released = NowMillis();
  const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::string text;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::size_t lines = 0;
  while (lines < 2 && std::chrono::steady_clock::now() < give_up) {
    char buffer[4096];
    const ssize_t count = ::read(reader, buffer, sizeof buffer);
    if (count > 0) {
      text.append(buffer, static_cast<std::size_t>(count));
      lines = 0;
      for (char c : text) lines += c == '\n';
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  holder.join();
  waiter.join();
  ::close(reader);
  ::unlink(path.c_str());  // later lines go to a plain file again
  std::system(("rm -rf " + home).c_str());

  ASSERT_EQ(lines, 2u) << text;
  std::vector<long long> stamps;
  std::size_t begin = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; begin = end + 1, end = text.find('\n', begin)) {
    // "P<pid> T<thread> <date> <time> <message>"
    const std::string line = text.substr(begin, end - begin);
    const std::size_t first = line.find(' ');
    const std::size_t second = line.find(' ', first + 1);
    ASSERT_NE(second, std::string::npos) << line;
    stamps.push_back(StampMillis(line.substr(second + 1, 23)));
  }
  ASSERT_EQ(stamps.size(), 2u);
  for (long long stamp : stamps) EXPECT_GE(stamp, released) << text;
  EXPECT_LE(stamps[0], stamps[1]) << text;
}

}  // namespace
}  // namespace Zarnik
