// The telemetry sender: delivers every numeric and boolean reading each half second.
#ifndef MORVANE_SENDER_H
#define MORVANE_SENDER_H

#include <stdint.h>

#include <chrono>
#include <mutex>

#include "zqk.h"

// Stopwatch on the system (wall) clock.
class elapsedtimer {
 public:
  // Starts timing now.
  elapsedtimer();
  // Starts timing again from now.
  void reset();
  // Whole milliseconds since start, truncated toward zero, then made non-negative, so a clock
  // set back still counts forward. Never fails.
  double elapsed() const;

  std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds> start;
};

// The one telemetry client, made by start-up; only the sender thread uses it once running.
extern ZQKClient* client;
// The one record every delivery is built in; only the sender thread touches it once running.
extern Value value;

// Where delivery stands, as the operator's screen shows it.
enum delivery_state_t { delivery_starting, delivery_ok, delivery_failing, delivery_ended };

// The delivery's health. Times are ms of the wall clock (CLOCK_REALTIME); 0: not yet.
struct delivery_health_t {
  delivery_state_t state = delivery_starting;
  int64_t last_pass = 0;      // when the last pass ended
  double lines_per_s = 0;     // puts that went out in it, over the time since the pass before ended
  int error = 0;              // the client's last_error after the latest failed put
  int64_t failing_since = 0;  // the first failure since delivery last worked
  long failures = 0;          // failed puts since then
  int64_t next_try = 0;       // the next single put, while the sender waits with send_retry
  int64_t ended_at = 0;       // when the sender ended for good
  int64_t pass_mono = 0;      // monotonic_ms() when the last pass (or the sender) began counting
};

// Shared by the sender, which writes the health after each pass and single put, and the screen,
// which reads it each frame; both under lock.
struct delivery_t {
  std::mutex lock;
  delivery_health_t health;
};

// Returns a copy of d's health, never torn by the sender.
delivery_health_t delivery_health(delivery_t* d);

// Delivers each signal's reading once (twice in a row when the first put succeeds); text and
// unknown value types are skipped, and so are stale readings (is_stale under the global
// stale_after). Logs each failed put, and prints it when d is null; with d, records the pass in
// d's health. Then writes the delivery's figures of the table (health.h): the failed puts since
// start and this pass's milliseconds. Returns how many puts failed.
int send_pass(delivery_t* d = NULL);

// Thread function. The argument is null, or a delivery_t for the screen: then failures and the
// empty lines of each pass stay off the terminal, and the health is kept in it instead; with
// the global display = "none" the empty lines stay off it too. After
// the pass in which the third failed delivery is counted it returns null, or, with the global
// send_retry set, puts the first reading a pass would deliver once every send_retry ms (each
// failure logged, and printed as in a pass) until one goes out, then makes passes again with a
// fresh budget.
void* send_data(void* delivery);

#endif
