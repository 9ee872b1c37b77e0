// What a session of the built-in engine asks in each GET of a round, and what each answer gives
// its members. A session learns the largest GET its agent answers: it halves its GETs after one
// that got no answer or was too big, splits one refused with no usable error index in halves down
// to single objects, and now and then tries a GET twice as large again.
#ifndef MORVANE_SNMPBATCH_H
#define MORVANE_SNMPBATCH_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

struct session_t;
struct request_t;
struct snmp_pdu;
struct answer_t;

// The most objects one GET asks for.
const size_t max_objects_per_get = 60;

// The GET sizes a session's agent takes, written by this room alone: per_get objects at most;
// after grow_wait rounds whose GETs it all took, a round's first GET asks for twice as many, and
// a size that the agent answers is kept.
struct sizes_t {
  size_t per_get = max_objects_per_get;
  int taken_rounds = 0;  // rounds with no GET refused or lost since the last try of a larger GET
  int grow_wait = 1;
};

// A round's members still to ask, and what its answers showed of the sizes; written by this
// room alone.
struct queue_t {
  size_t next = 0;                // members[next..] are not asked yet in this round
  std::vector<uint32_t> backlog;  // members to ask before members[next..], split off a GET
  std::deque<std::vector<uint32_t>> ready;  // whole GETs to ask again, before anything else
  bool answered = false;          // a GET of this round has had an answer
  size_t largest_answer = 0;      // the most objects a GET of this round got values for
  size_t least_refused = 0;       // the fewest objects of a GET refused with no usable index; 0: none
};

// Starts a round of s: every member is yet to be asked.
void begin_batches(session_t* s);
// True while members of the round are left to ask.
bool more_to_ask(const session_t* s);
// Puts the members of the round's next GET in r->asked, with r->growing and r->uptime; false once
// every member has been asked.
bool next_batch(session_t* s, request_t* r);
// Returns the GET of r; null when there is no memory for it.
struct snmp_pdu* batch_pdu(const session_t* s, const request_t& r);
// Puts the members of r, which could not be sent, first in line again.
void give_back(session_t* s, request_t* r);
// Takes a, the response to r: each member gets the varbind that names its object, or the empty
// reply, as snmpget gives it; what an error status leaves to ask goes back to be asked again.
void take_response(session_t* s, request_t* r, answer_t* a);
// r got no answer: true when the round goes on, with r's members asked again (a GET larger than
// the agent took before, in GETs of the old size; a GET dropped, as it was); false when the
// round has failed.
bool ask_again_lost(session_t* s, request_t* r, bool dropped);
// Gives every member not read yet in the round the empty reply.
void fail_batches(session_t* s);
// Ends s's round, failed or not, and learns from it the GET size of the next.
void end_batches(session_t* s, bool failed);

#endif
