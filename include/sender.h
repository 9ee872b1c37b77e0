// The telemetry sender: delivers every numeric and boolean reading each half second.
#ifndef MORVANE_SENDER_H
#define MORVANE_SENDER_H

#include <chrono>

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

// The one record every delivery is built in; only the sender thread touches it once running.
extern Value value;

// Delivers each signal's reading once (twice in a row when the first put succeeds); text and
// unknown value types are skipped, and so are stale readings (is_stale under the global
// stale_after). Prints and logs each failed put; returns how many failed.
int send_pass();

// Thread function; the argument is ignored. After the pass in which the third failed delivery
// is counted it returns null, or, with the global send_retry set, puts the first reading a pass
// would deliver once every send_retry ms (each failure printed and logged) until one goes out,
// then makes passes again with a fresh budget.
void* send_data(void*);

#endif
