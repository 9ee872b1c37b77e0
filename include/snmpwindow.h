// How many GETs a session of the built-in engine keeps in flight at once: its window. The window
// opens by one after as many answers as it is wide came back in time while the round was late
// and more was left to ask, and halves when a GET is lost while the agent answers others. A
// round's first send, all at once, is no wider than the agent's queue has been seen to take;
// each answer then lets two more GETs go until the window is full.
#ifndef MORVANE_SNMPWINDOW_H
#define MORVANE_SNMPWINDOW_H

#include <stddef.h>
#include <stdint.h>

struct session_t;
struct request_t;

// A session's window, written by this room alone.
struct window_t {
  size_t size = 1;
  size_t limit = 1;        // the most it may open to (snmp_window)
  size_t burst = 0;        // the most GETs of a round's first send; 0: none lost yet
  int lossless_rounds = 0;  // rounds that lost nothing since the last try of a wider first send
  int widen_wait = 1;      // lossless rounds before a first send one wider than burst
  size_t credit = 0;       // answers in time while it held the round back, since it last opened
  size_t first_sent = 0;   // GETs of this round sent before its first answer
  size_t answers = 0;      // answers read this round
  size_t in_time = 0;      // of them, those of GETs of values that came in time
  bool lost = false;       // a GET of this round was lost
  size_t first_lost = 0;   // the place of the first GET lost in this round's first send; 0: none
  size_t deepest_first = 0;  // the place of the last GET of this round's first send answered
  bool reorders = false;   // the agent answered a GET given up as overtaken: overtaking tells nothing
  int given_up[4] = {};    // request IDs of the last GETs given up as overtaken
  int64_t least_ns = 0;    // the shortest answer of a GET of values this round, ns; 0: none yet
  int64_t last_least_ns = 0;  // the same of the last round
  int64_t heard_ns = 0;    // when the agent last answered, monotonic
  int64_t sent_ns = 0;     // when the last GET went, monotonic
  int64_t closed_ns = 0;   // when it last closed: GETs sent before then close it no more
};

// The most GETs in flight per session when snmp_window is not set.
const int default_window = 32;

// Sets the most GETs s may keep in flight (snmp_window).
void window_limit(session_t* s, size_t limit);
// Returns how many requests s may have in flight now.
size_t window_room(const session_t* s);
// True when s's window is too narrow for the pace (ns from a round's start to the next's): at one
// round trip (the shortest of late) for each window of GETs, a round would end after the next is
// due.
bool window_late(const session_t* s, int64_t pace_ns);
// Notes r, just sent at now as the last of s's requests in flight.
void window_sent(session_t* s, request_t* r, int64_t now);
// Notes the answer to s->flight[at], read at its answered_ns; late: window_late. Opens the window
// when it held the round back.
void window_answered(session_t* s, size_t at, bool late);
// True when r, which got no answer, was dropped by an agent that answers (one answered after r
// was sent): the window closes, or a first send past the agent's queue learns its width, but for
// a GET of the first send lost while a later one of it went through, lost on the way. False
// when the agent has been silent since: it may be gone.
bool window_lost(session_t* s, const request_t& r);
// True when r, a request of s in flight, has been overtaken by so many answers to GETs sent after
// it that it is lost; never once its agent has shown that it answers out of order. Notes r as
// given up then.
bool overtaken(session_t* s, const request_t& r);
// Notes an answer to reqid, which no request in flight has: one to a GET given up as overtaken
// shows an agent that answers out of order (AgentX subagents, proxies).
void window_stray_answer(session_t* s, long reqid);
// Forgets the answers' round trips: s was closed, and its next open may reach the agent another way.
void window_forget_trips(session_t* s);
// Ends s's round: a wider first send that lost nothing is kept, and after a failed round (the
// session is closed) the window starts again from one GET.
void window_round_end(session_t* s, bool failed);

#endif
