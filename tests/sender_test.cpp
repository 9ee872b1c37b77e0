// The sender's pass, in this process against a real TCP listener, and its stopwatch.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "app.h"
#include "e2e.h"
#include "listener.h"
#include "sender.h"
#include "zqk.h"

namespace {

struct reading_t {
  int signum;
  int value_type;
  float float_value;
  int int_value;
};

// Replaces the signal table with one signal per reading and points client at port.
void set_up(const std::vector<reading_t>& readings, int port) {
  signalsVector.clear();
  for (const reading_t& r : readings) {
    signal_t* s = new signal_t;
    s->signum = r.signum;
    s->value_type = r.value_type;
    s->float_value = r.float_value;
    s->int_value = r.int_value;
    set_text_value(s, "12.5");  // a number, yet a text reading is never sent
    signalsVector.push_back(s);
  }
  setenv("ZQK_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
  client = new ZQKClient(NULL, NULL, NULL, NULL, 49000);
}

TEST(SendPassTest, PutsEachNumericAndBooleanReadingTwiceUnderItsSignum) {
  listener_t* l = start_listener();
  set_up({{101, 0, 23.5f, 9},
          {102, 1, 0.5f, 7},
          {103, 2, 0, 5},
          {104, 2, 1.0f, 0},
          {105, 3, 1.0f, 1},
          {106, 9, 1.0f, 1},
          {107, -1, 1.0f, 1},
          {108, 1, 0, 16777217},  // nearest float is 16777216
          {109, 2, 0, -1}},
         l->port);
  int64_t before = time(NULL);
  EXPECT_EQ(0, send_pass());
  const char* const want[] = {"signal.101 23.5", "signal.101 23.5", "signal.102 7", "signal.102 7",
                              "signal.103 1",    "signal.103 1",    "signal.104 0", "signal.104 0",
                              "signal.108 16777216", "signal.108 16777216",
                              "signal.109 1",    "signal.109 1"};
  size_t n = sizeof want / sizeof want[0];
  ASSERT_TRUE(wait_until([&] { return received(l).size() >= n; }, 10));
  usleep(100000);  // room for lines that should not come
  int64_t after = time(NULL);
  std::vector<line_t> got = received(l);
  ASSERT_EQ(n, got.size());
  for (size_t i = 0; i < n; i++)
    EXPECT_EQ(want[i], strip_time(got[i].text, before, after)) << got[i].text;
  stop_listener(l);
}

TEST(SendPassTest, CountsAndReportsEachFailedSignalOnce) {
  set_up({{1, 0, 1.0f, 0}, {2, 3, 0, 0}, {3, 1, 0, 4}, {4, 5, 0, 0}, {5, 2, 0, 1}},
         free_port(SOCK_STREAM));
  testing::internal::CaptureStdout();
  EXPECT_EQ(3, send_pass());
  EXPECT_EQ("Value put error:-111\nValue put error:-111\nValue put error:-111\n",
            testing::internal::GetCapturedStdout());
}

// Bounds for elapsed() between two clock readings: whole milliseconds, truncated toward zero,
// never negative.
double whole_ms(std::chrono::system_clock::duration d) {
  long long ms = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 1000000;
  return ms < 0 ? -ms : ms;
}

TEST(ElapsedtimerTest, GivesWholeMillisecondsTruncatedAndNeverNegative) {
  using std::chrono::microseconds;
  // start relative to now; negative: a clock since set back
  const long long offsets_us[] = {-2000600, -400, 0, 400, 2000600};
  for (long long off : offsets_us) {
    elapsedtimer t;
    auto before = std::chrono::system_clock::now();
    t.start = before + microseconds(off);
    double e = t.elapsed();
    auto after = std::chrono::system_clock::now();
    double a = whole_ms(before - t.start), b = whole_ms(after - t.start);
    EXPECT_GE(e, std::min(a, b)) << "start offset " << off << " us";
    EXPECT_LE(e, std::max(a, b)) << "start offset " << off << " us";
  }
}

}  // namespace
