// The telemetry sender thread. Reads the signal table, float_value/int_value and good_at
// (atomics the signals' writers write); only this thread uses client and value after start-up.
#include "sender.h"

#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "app.h"

Value value;

// A pass starts once more than this many whole milliseconds have passed since the last ended.
static const double pass_gap_ms = 500;
// After the pass in which this many puts have failed in all, the sender ends, or with
// send_retry waits for the server.
static const int failure_budget = 3;

elapsedtimer::elapsedtimer() : start(std::chrono::system_clock::now()) {}

void elapsedtimer::reset() {
  start = std::chrono::system_clock::now();
}

double elapsedtimer::elapsed() const {
  auto since = std::chrono::system_clock::now() - start;
  long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
  return (double)std::llabs(ns / 1000000);  // integer division truncates toward zero
}

// Fills value with the signal's reading; false for value types that are never sent.
static bool build_value(signal_t* s) {
  switch (s->value_type) {
    case 0:
      makeAValue(&value, s->signum, 0, s->float_value.load(), 0, 0);
      return true;
    case 1:
      makeAValue(&value, s->signum, 0, (float)s->int_value.load(), 0, 0);
      return true;
    case 2:
      makeBValue(&value, s->signum, 0, s->int_value.load() != 0 ? 1 : 0, 0, 0);
      return true;
    default:
      return false;
  }
}

// True when a pass delivers s, with value filled for it: a value type that is sent, and a
// reading that is not stale at now_ms.
static bool deliverable(signal_t* s, int64_t now_ms) {
  return !is_stale(s, global_snmp_conf, now_ms) && build_value(s);
}

static void report_failure() {
  printf("Value put error:%i\n", client->last_error);
  syslog(LOG_ERR, "ERROR: ZQK ERROR %d", client->last_error);
}

// Puts value, and once more after a success; returns 1 after reporting a failure, else 0.
static int deliver() {
  if (client->put(&value, 0) != -1) {
    client->put(&value, 0);
    return 0;
  }
  report_failure();
  return 1;
}

int send_pass() {
  int failures = 0;
  int64_t now = monotonic_ms();
  for (signal_t* s : signalsVector)
    if (deliverable(s, now))
      failures += deliver();
  return failures;
}

// Puts the first reading a pass would deliver, once; true when it is on its way. A failure is
// reported as in a pass; with nothing to deliver there is nothing to try, and false comes back.
static bool retry_put() {
  int64_t now = monotonic_ms();
  for (signal_t* s : signalsVector) {
    if (!deliverable(s, now))
      continue;
    if (client->put(&value, 0) != -1)
      return true;
    report_failure();
    return false;
  }
  return false;
}

// Sleeps until more than gap_ms whole milliseconds have passed on timer, a second at most at a
// time, so that a long gap never overflows one sleep.
static void wait_past(const elapsedtimer& timer, double gap_ms) {
  double e;
  while ((e = timer.elapsed()) <= gap_ms)
    usleep((useconds_t)(std::min(gap_ms + 1 - e, 1000.0) * 1000));
}

// Once the failure budget is spent: one put each retry_ms until one goes out.
static void wait_for_server(elapsedtimer* timer, int retry_ms) {
  do {
    wait_past(*timer, retry_ms);
    timer->reset();
  } while (!retry_put());
}

void* send_data(void*) {
  int retry_ms = global_snmp_conf ? global_snmp_conf->send_retry : 0;
  int failures = 0;
  elapsedtimer timer;
  for (;;) {
    wait_past(timer, pass_gap_ms);
    failures += send_pass();
    std::cout << std::endl << std::endl;
    timer.reset();
    if (failures >= failure_budget) {
      if (retry_ms <= 0)
        return NULL;
      wait_for_server(&timer, retry_ms);
      failures = 0;  // a fresh budget
    }
  }
}
