// The process-wide tables outlive every reader: they survive exit while
// threads still use them, and a fork taken in the middle of their build
// leaves a child that builds them itself instead of waiting forever.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "crypto/immortal.hpp"
#include "sdk/src/lib.hpp"

namespace quillet::sdk {
namespace {

// Runs `body` in a forked child and returns its exit status, or -1 if it
// had not ended after 5 s (it is then killed).
int status_of_child(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  for (int waited_ms = 0; waited_ms < 5000; waited_ms += 5) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

constexpr int kExitedZero = 0;  // the wait status of exit(0)

TEST(TablesLifetime, ExitWhileThreadsReadTheTablesIsClean) {
  for (int round = 0; round < 20; ++round) {
    const int status = status_of_child([]() -> int {
      for (int t = 0; t < 3; ++t) {
        std::thread([t] {
          const std::string key = "0x" + std::string(62, '0') + "1" + std::to_string(t);
          for (;;) {
            (void)hash_signed_oracle_price(R"(["0x1","2","3","0x4"])");
            (void)sign(key, "0x1234");
          }
        }).detach();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::exit(0);  // runs the destructors of static objects
    });
    ASSERT_EQ(status, kExitedZero) << "round " << round;
  }
}

TEST(TablesLifetime, ForkDuringTheBuildLeavesAChildThatBuildsItself) {
  static Immortal<int> value;
  std::atomic<bool> building{false};
  std::atomic<bool> forked{false};
  std::thread builder([&] {
    (void)value.get([&] {
      building = true;
      while (!forked) std::this_thread::yield();
      return 1;
    });
  });
  while (!building) std::this_thread::yield();
  const int status = status_of_child([] { return value.get([] { return 2; }) == 2 ? 0 : 1; });
  forked = true;
  builder.join();
  EXPECT_EQ(status, kExitedZero);
  EXPECT_EQ(value.get([] { return 3; }), 1);
}

TEST(TablesLifetime, AFailedBuildIsRetriedByTheNextCaller) {
  static Immortal<int> value;
  EXPECT_THROW(value.get([]() -> int { throw std::runtime_error("first build fails"); }),
               std::runtime_error);
  EXPECT_EQ(value.get([] { return 7; }), 7);
  EXPECT_EQ(value.get([] { return 8; }), 7);
}

}  // namespace
}  // namespace quillet::sdk
