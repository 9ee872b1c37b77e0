// The telemetry sender thread. Reads the signal table, float_value/int_value and good_at
// (atomics the signals' writers write); only this thread uses client and value after start-up.
// For the screen it writes the delivery's health into a delivery_t, under its lock. It is the
// one writer of the delivery's figures (health.h), after each pass and single put.
#include "sender.h"

#include <stdio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "health.h"
#include "parser.h"
#include "signals.h"

ZQKClient* client = NULL;
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
// reading that is not stale at now_ms. A walked row comes and goes while morvane runs: until its
// first good reply it has no reading, and a 0 would be one a graph believes.
static bool deliverable(signal_t* s, const snmp_conf_t* conf, int64_t now_ms) {
  if (s->column && !s->good_at.load(std::memory_order_relaxed))
    return false;
  return !is_stale(s, conf, now_ms) && build_value(s);
}

// The system log gets every failure; the terminal only when no screen holds it (d null).
static void report_failure(delivery_t* d) {
  if (!d)
    printf("Value put error:%i\n", client->last_error);
  syslog(LOG_ERR, "ERROR: ZQK ERROR %d", client->last_error);
}

static int64_t wall_ms() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Counts puts into h: any failure makes delivery failing (since now, when it was not); puts
// that all went out make it deliver again. With nothing put, a failing delivery stays failing.
static void count_puts(delivery_health_t* h, long sent, long failed) {
  h->next_try = 0;
  if (failed == 0) {
    if (sent > 0 || h->state != delivery_failing) {
      h->state = delivery_ok;
      h->failures = 0;
    }
    return;
  }
  if (h->state != delivery_failing) {
    h->state = delivery_failing;
    h->failing_since = wall_ms();
    h->failures = 0;
  }
  h->failures += failed;
  h->error = client->last_error;
}

// Records in d, when there is one, a pass that made `lines` puts go out and `failed` fail.
static void note_pass(delivery_t* d, long lines, long failed) {
  if (!d)
    return;
  std::lock_guard<std::mutex> hold(d->lock);
  delivery_health_t& h = d->health;
  count_puts(&h, lines, failed);
  int64_t now = monotonic_ms();
  h.lines_per_s = now > h.pass_mono ? lines * 1000.0 / (double)(now - h.pass_mono) : 0;
  h.pass_mono = now;
  h.last_pass = wall_ms();
}

// Records a single put of the wait for the server.
static void note_retry(delivery_t* d, bool sent) {
  if (!d)
    return;
  std::lock_guard<std::mutex> hold(d->lock);
  count_puts(&d->health, sent, !sent);
  if (sent)
    d->health.pass_mono = monotonic_ms();  // the next pass's rate counts from here
}

static void note_next_try(delivery_t* d, int retry_ms) {
  if (!d)
    return;
  std::lock_guard<std::mutex> hold(d->lock);
  d->health.next_try = wall_ms() + retry_ms;
}

static void note_end(delivery_t* d) {
  if (!d)
    return;
  std::lock_guard<std::mutex> hold(d->lock);
  d->health.state = delivery_ended;
  d->health.ended_at = wall_ms();
}

delivery_health_t delivery_health(delivery_t* d) {
  std::lock_guard<std::mutex> hold(d->lock);
  return d->health;
}

// Puts value, and once more after a success; returns 0 after reporting a failure, else the 2
// puts that went out.
static int deliver(delivery_t* d) {
  if (client->put(&value, 0) != -1) {
    client->put(&value, 0);
    return 2;
  }
  report_failure(d);
  return 0;
}

// The delivery's own figures: failed puts since start, and how long the last pass took.
static uint64_t put_errors = 0;
static int64_t pass_ms = 0;

// Writes the delivery's figures of table into their signals; each is read at the next pass.
static void write_delivery_figures(const table_t& table) {
  for (signal_t* s : table.signals) {
    figure_t f = s->call_type == 4 ? figure_named(s->health) : NO_FIGURE;
    if (f == FIG_PUT_ERRORS)
      res_number(s, (long long)put_errors);
    else if (f == FIG_PASS_MS)
      res_number(s, pass_ms);
  }
}

int send_pass(delivery_t* d) {
  int failures = 0;
  long lines = 0;
  int64_t began = monotonic_ns(), now = began / 1000000;
  std::shared_ptr<const table_t> table = table_now();  // held for the pass: rows may leave meanwhile
  for (signal_t* s : table->signals)
    if (deliverable(s, &table->loaded->conf, now)) {
      int sent = deliver(d);
      lines += sent;
      failures += sent == 0;
    }
  note_pass(d, lines, failures);
  put_errors += failures;
  pass_ms = (monotonic_ns() - began) / 1000000;
  write_delivery_figures(*table);
  return failures;
}

// Puts the first reading a pass would deliver, once; true when it is on its way. A failure is
// reported as in a pass; with nothing to deliver there is nothing to try, and false comes back.
static bool retry_put(delivery_t* d) {
  int64_t now = monotonic_ms();
  std::shared_ptr<const table_t> table = table_now();
  for (signal_t* s : table->signals) {
    if (!deliverable(s, &table->loaded->conf, now))
      continue;
    if (client->put(&value, 0) != -1) {
      note_retry(d, true);
      return true;
    }
    report_failure(d);
    note_retry(d, false);
    put_errors++;
    write_delivery_figures(*table);
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
static void wait_for_server(elapsedtimer* timer, int retry_ms, delivery_t* d) {
  do {
    note_next_try(d, retry_ms);
    wait_past(*timer, retry_ms);
    timer->reset();
  } while (!retry_put(d));
}

void* send_data(void* delivery) {
  delivery_t* d = (delivery_t*)delivery;
  int failures = 0;
  // The screen has a status line instead; with display = "none" there is no table to space out.
  bool spacing = !d && !(global_snmp_conf && global_snmp_conf->display == "none");
  elapsedtimer timer;
  if (d) {
    std::lock_guard<std::mutex> hold(d->lock);
    d->health.pass_mono = monotonic_ms();
  }
  for (;;) {
    wait_past(timer, pass_gap_ms);
    failures += send_pass(d);
    if (spacing)
      std::cout << std::endl << std::endl;
    timer.reset();
    if (failures >= failure_budget) {
      int retry_ms = table_now()->loaded->conf.send_retry;  // a reload's, once in force
      if (retry_ms <= 0) {
        note_end(d);
        return NULL;
      }
      wait_for_server(&timer, retry_ms, d);
      failures = 0;  // a fresh budget
    }
  }
}
