// A session's window: the GETs it keeps in flight at once, opened while its agent answers in time
// and the round is late, closed when the agent drops a GET. Used by the engine's thread only.
#include "snmpwindow.h"

#include <algorithm>

#include "snmpbatch.h"
#include "snmpsession.h"

// Answers to three GETs sent after one, read before its own, mean that it was lost: agents
// answer in the order asked, and one that does not (a proxy, subagents) rarely runs three ahead.
static const uint32_t overtaking = 3;
// At most this many rounds that lost nothing pass between two tries of a first send one wider
// than the agent's queue took, after each try that lost a GET doubled the wait: a busy agent
// drops one GET that often, at most.
static const int max_widen_wait = 256;

// The shortest answer of this round and the last: a loaded machine, or a route that changed,
// makes the answers of earlier rounds no measure.
static int64_t least(const window_t& w) {
  if (!w.least_ns || !w.last_least_ns)
    return std::max(w.least_ns, w.last_least_ns);
  return std::min(w.least_ns, w.last_least_ns);
}

// In time: no more than a sixteenth and 1 ms longer than the shortest answer, so that it waited
// behind no other GET in the agent's queue.
static bool in_time(const window_t& w, int64_t took) {
  return took <= least(w) + least(w) / 16 + 1000000;
}

void window_limit(session_t* s, size_t limit) {
  s->window.limit = limit;
}

bool window_late(const session_t* s, int64_t pace_ns) {
  const window_t& w = s->window;
  size_t gets = (s->members.size() + s->sizes.per_get - 1) / s->sizes.per_get;
  size_t trips = (gets + w.size - 1) / w.size;
  return (int64_t)trips * least(w) > pace_ns;
}

// The round's first send is as wide as the window, or as the agent's queue took, or one wider
// after enough rounds went well; then each answer frees a place, and one in time opens one more.
size_t window_room(const session_t* s) {
  const window_t& w = s->window;
  if (w.answers)
    return std::min(w.size, w.first_sent + w.in_time);
  if (!w.burst)
    return w.size;
  return std::min(w.size, w.lossless_rounds >= w.widen_wait ? w.burst + 1 : w.burst);
}

void window_sent(session_t* s, request_t* r, int64_t now) {
  window_t& w = s->window;
  r->sent_ns = now;
  r->depth = s->flight.size();
  r->first = !w.answers;
  w.first_sent += r->first;
  w.sent_ns = now;
}

void window_answered(session_t* s, size_t at, bool late) {
  window_t& w = s->window;
  const request_t& r = s->flight[at];
  for (size_t i = 0; i < at; i++)
    s->flight[i].overtaken++;
  w.answers++;
  w.heard_ns = std::max(w.heard_ns, r.answered_ns);
  if (r.first)
    w.deepest_first = std::max(w.deepest_first, r.depth);
  if (!r.read)
    return;  // an engine ID, or an error status: not what a GET of values takes
  int64_t took = r.answered_ns - r.sent_ns;
  if (!w.least_ns || took < w.least_ns)
    w.least_ns = took;
  if (!in_time(w, took))
    return;
  w.in_time++;
  // it held the round back: the window was full and more was left to ask
  if (!late || s->flight.size() < w.size || !more_to_ask(s))
    return;
  if (++w.credit < w.size)
    return;
  w.credit = 0;
  w.size = std::min(w.size + 1, w.limit);
}

// At the end of a round, an answer to any GET sent after it will do: none is left to overtake it.
static bool overtaken_now(const session_t* s, const request_t& r) {
  if (s->window.reorders || !r.overtaken)
    return false;
  if (r.overtaken >= overtaking)
    return true;
  if (more_to_ask(s))
    return false;
  for (const request_t* later = &r + 1; later <= &s->flight.back(); later++)
    if (later->outcome == IN_FLIGHT)
      return false;
  return true;
}

bool overtaken(session_t* s, const request_t& r) {
  if (!overtaken_now(s, r))
    return false;
  window_t& w = s->window;
  std::copy_backward(w.given_up, w.given_up + 3, w.given_up + 4);
  w.given_up[0] = r.reqid;
  return true;
}

// One late answer is enough: the window then loses GETs only by their timeouts.
void window_stray_answer(session_t* s, long reqid) {
  window_t& w = s->window;
  w.reorders |= reqid && std::count(w.given_up, w.given_up + 4, reqid) > 0;
}

// A GET of the first send lost after others of it went through found the agent's queue full:
// the first send stops before it from then on. Any other loss halves the window, once for all
// the GETs in flight when it closes.
bool window_lost(session_t* s, const request_t& r) {
  window_t& w = s->window;
  if (w.heard_ns <= r.sent_ns)
    return false;
  w.lost = true;
  if (r.first && w.deepest_first > r.depth)
    return true;  // a later GET of the first send went through: no queue was full, no agent busy
  if (r.first && r.depth > 1) {
    w.first_lost = w.first_lost ? std::min(w.first_lost, r.depth) : r.depth;
    return true;
  }
  if (r.sent_ns >= w.closed_ns) {
    w.closed_ns = w.sent_ns + 1;
    w.credit = 0;
    w.size = std::max<size_t>(1, w.size / 2);
  }
  return true;
}

void window_forget_trips(session_t* s) {
  s->window.least_ns = s->window.last_least_ns = 0;
}

void window_round_end(session_t* s, bool failed) {
  window_t& w = s->window;
  if (failed) {
    w.size = 1;
    w.credit = 0;
  }
  if (w.first_lost && w.burst && w.first_lost > w.burst)
    w.widen_wait = std::min(2 * w.widen_wait, max_widen_wait);  // a wider try lost a GET: the next waits longer
  else if (w.first_lost)
    w.burst = w.first_lost - 1;
  if (failed || w.lost) {
    w.lossless_rounds = 0;
  } else if (w.burst && w.first_sent > w.burst) {
    w.burst = w.first_sent;  // a wider try that held
    w.lossless_rounds = 0;
  } else {
    w.lossless_rounds = std::min(w.lossless_rounds + 1, max_widen_wait);
  }
  w.lost = false;
  w.first_lost = 0;
  w.deepest_first = 0;
  w.first_sent = 0;
  w.answers = 0;
  w.in_time = 0;
  w.last_least_ns = w.least_ns;
  w.least_ns = 0;
}
