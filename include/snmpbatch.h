// What a session of the built-in engine asks in each GET of a round, and what each answer gives
// its members. A session learns the largest GET its agent answers: it halves its GETs after one
// that got no answer or was too big, splits one refused with no usable error index in halves down
// to single objects, and now and then tries a GET twice as large again.
#ifndef MORVANE_SNMPBATCH_H
#define MORVANE_SNMPBATCH_H

#include <stddef.h>

struct session_t;
struct request_t;
struct snmp_pdu;
struct answer_t;

// Starts a round of s: every member is yet to be asked.
void begin_batches(session_t* s);
// True while members of the round are left to ask.
bool more_to_ask(const session_t* s);
// Puts the members of the round's next GET in r->asked, and r->growing; false once every member
// has been asked.
bool next_batch(session_t* s, request_t* r);
// Returns the GET of r; null when there is no memory for it.
struct snmp_pdu* batch_pdu(const session_t* s, const request_t& r);
// Takes a, the response to r: each member gets the varbind that names its object, or the empty
// reply, as snmpget gives it; what an error status leaves to ask goes back to be asked again.
void take_response(session_t* s, request_t* r, answer_t* a);
// r got no answer: true when the round goes on, with r's members asked again (a GET larger than
// the agent took before, in GETs of the old size; a GET dropped, as it was); false when the
// round has failed.
bool batch_unanswered(session_t* s, request_t* r, bool dropped);
// Gives every member not read yet in the round the empty reply.
void fail_batches(session_t* s);
// Ends s's round, failed or not, and learns from it the GET size of the next.
void end_batches(session_t* s, bool failed);

#endif
