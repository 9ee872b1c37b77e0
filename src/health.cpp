// morvane's own figures: their names, and the agents' records, made once and kept for the run
// (a reload that drops an agent and one that brings it back find one record, its counts going on).
// The book of records is shared by the threads that make sessions and the screen, under its lock.
#include "health.h"

#include <map>
#include <mutex>
#include <vector>

#include "parser.h"
#include "shard.h"
#include "signals.h"

static const char* const names[] = {"round_ms", "answered_ms", "lost", "late", "in_flight", "put_errors", "pass_ms"};
const char figure_list[] = "round_ms, answered_ms, lost, late, in_flight, put_errors or pass_ms";

figure_t figure_named(const std::string& name) {
  for (int f = FIG_ROUND_MS; f <= FIG_PASS_MS; f++)
    if (name == names[f])
      return (figure_t)f;
  return NO_FIGURE;
}

const char* figure_name(figure_t f) {
  return f == NO_FIGURE ? "" : names[f];
}

bool agent_figure(figure_t f) {
  return f >= FIG_ROUND_MS && f <= FIG_IN_FLIGHT;
}

// By agent_key. Never destroyed, records and all: the threads that read agents run on through
// the exit.
static std::mutex& book_lock = *new std::mutex;
static std::map<std::string, agent_health_t*>& book = *new std::map<std::string, agent_health_t*>;

agent_health_t* agent_health(const std::string& ip_addr) {
  std::string key = agent_key(ip_addr);
  std::lock_guard<std::mutex> hold(book_lock);
  agent_health_t*& a = book[key];
  if (!a) {
    a = new agent_health_t;
    a->answered_ms = monotonic_ms();  // "since start" for an agent that never answers
  }
  return a;
}

long agents_in_trouble(long* known) {
  std::lock_guard<std::mutex> hold(book_lock);
  *known = (long)book.size();
  long n = 0;
  for (const auto& a : book)
    n += a.second->silent || a.second->late_now;
  return n;
}

void write_figure(signal_t* s, figure_t f, const agent_health_t* a, int64_t now_ms) {
  long long n = 0;
  switch (f) {
    case FIG_ROUND_MS: n = a->round_ms; break;
    case FIG_ANSWERED_MS: n = now_ms - a->answered_ms; break;
    case FIG_LOST: n = (long long)a->lost; break;
    case FIG_LATE: n = (long long)a->late; break;
    case FIG_IN_FLIGHT: n = a->in_flight; break;
    default: return;
  }
  res_number(s, n);
}
