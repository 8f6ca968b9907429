// The watch on the daemon's end: a crash or a sanitizer report fails the test that started it,
// whatever that test asserted; an end the test itself caused does not.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Wait.hpp"

namespace ostrel::test::process_watch {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// A child that has ended but is not yet reaped shows state Z in /proc.
bool isZombie(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// The failures `body` reports, kept from the running test.
std::vector<std::string> failuresOf(const std::function<void()>& body) {
  ::testing::TestPartResultArray results;
  {
    ::testing::ScopedFakeTestPartResultReporter spy(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
    body();
  }
  std::vector<std::string> out;
  for (int i = 0; i < results.size(); ++i) out.push_back(results.GetTestPartResult(i).message());
  return out;
}

struct Crash {
  const char* name;
  const char* script;
  const char* expected;  // in the failure message
};

void PrintTo(const Crash& c, std::ostream* os) {
  *os << c.name;
}

class ProcessWatch : public ::testing::TestWithParam<Crash> {};

TEST_P(ProcessWatch, FailsTheTestWithTheCauseAndTheLastLines) {
  const Crash& c = GetParam();
  auto failures = failuresOf([&] {
    GatewayProcess p({});
    p.startProgram({"/bin/sh", "-c", c.script});
    p.waitExit(60s);
  });
  ASSERT_EQ(failures.size(), 1u) << ::testing::PrintToString(failures);
  EXPECT_THAT(failures[0], HasSubstr(c.expected));
  EXPECT_THAT(failures[0], HasSubstr("last words"));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ProcessWatch,
    ::testing::Values(Crash{"Segv", "echo last words; kill -SEGV $$", "(Segmentation fault)"},
                      Crash{"Abort", "echo last words; kill -ABRT $$", "(Aborted)"},
                      Crash{"Asan",
                            "echo '==7==ERROR: AddressSanitizer: heap-use-after-free'; "
                            "echo last words; exit 1",
                            "sanitizer report"},
                      Crash{"Ubsan",
                            "echo 'x.cpp:3:5: runtime error: signed overflow'; "
                            "echo last words; exit 0",
                            "sanitizer report"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProcessWatchEnd, ACrashFoundAtTeardownFails) {
  auto failures = failuresOf([] {
    GatewayProcess p({});
    p.startProgram({"/bin/sh", "-c", "kill -SEGV $$"});
    ASSERT_TRUE(waitUntil([&] { return isZombie(p.pid()); }, 60s, "the program to end"));
  });
  ASSERT_EQ(failures.size(), 1u) << ::testing::PrintToString(failures);
  EXPECT_THAT(failures[0], HasSubstr("ended by signal 11 (Segmentation fault)"));
}

TEST(ProcessWatchEnd, SignalsTheTestSentAndPlainExitsPass) {
  GatewayProcess term({});
  term.startProgram({"/bin/sh", "-c", "echo up; exec tail -f /dev/null"});
  ASSERT_GE(term.waitForLine("up", 60s), 0);
  term.signal(SIGTERM);
  EXPECT_EQ(term.waitExit(60s), 128 + SIGTERM);

  GatewayProcess failing({});
  failing.startProgram({"/bin/sh", "-c", "echo bad configuration; exit 2"});
  EXPECT_EQ(failing.waitExit(60s), 2);

  // The teardown's own SIGKILL of a program still running is not a crash.
  GatewayProcess running({});
  running.startProgram({"/bin/sh", "-c", "echo up; exec tail -f /dev/null"});
  ASSERT_GE(running.waitForLine("up", 60s), 0);
}

}  // namespace
}  // namespace ostrel::test::process_watch
