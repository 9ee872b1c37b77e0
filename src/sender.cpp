// The telemetry sender thread. Reads the signal table and float_value/int_value (atomics the
// poller writes); only this thread uses client and value after start-up.
#include "sender.h"

#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "app.h"

Value value;

// A pass starts once more than this many whole milliseconds have passed since the last ended.
static const double pass_gap_ms = 500;
// The sender ends after the pass in which this many puts have failed in all.
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

// Puts value, and once more after a success; returns 1 after reporting a failure, else 0.
static int deliver() {
  if (client->put(&value, 0) != -1) {
    client->put(&value, 0);
    return 0;
  }
  printf("Value put error:%i\n", client->last_error);
  syslog(LOG_ERR, "ERROR: ZQK ERROR %d", client->last_error);
  return 1;
}

int send_pass() {
  int failures = 0;
  for (signal_t* s : signalsVector)
    if (build_value(s))
      failures += deliver();
  return failures;
}

// Sleeps until more than gap_ms whole milliseconds have passed on timer.
static void wait_past(const elapsedtimer& timer, double gap_ms) {
  double e;
  while ((e = timer.elapsed()) <= gap_ms)
    usleep((useconds_t)((gap_ms + 1 - e) * 1000));
}

void* send_data(void*) {
  int failures = 0;
  elapsedtimer timer;
  for (;;) {
    wait_past(timer, pass_gap_ms);
    failures += send_pass();
    std::cout << std::endl << std::endl;
    timer.reset();
    if (failures >= failure_budget)
      return NULL;
  }
}
