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

// The most GETs in flight per session when snmp_window is not set.
const int default_window = 32;

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
// Ends s's round: a wider first send that lost nothing is kept, and after a failed round (the
// session is closed) the window starts again from one GET.
void window_round_end(session_t* s, bool failed);

#endif
