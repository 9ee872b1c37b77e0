// What a session of the built-in engine asks in each GET of a round, and what each answer gives
// its members. A session learns the largest GET its agent answers: it halves its GETs after one
// that got no answer or was too big, splits one refused with no usable error index in halves down
// to single objects, and now and then tries a GET twice as large again.
#ifndef MORVANE_SNMPBATCH_H
#define MORVANE_SNMPBATCH_H

#include <stddef.h>

struct session_t;
struct snmp_pdu;

// Starts a round of s: every member is yet to be asked.
void begin_batches(session_t* s);
// Fills s->asked with the members of the round's next GET, unless it holds some already;
// returns how many it holds, 0 once every member has been asked.
size_t next_batch(session_t* s);
// Returns the GET of s->asked; null when there is no memory for it.
struct snmp_pdu* batch_pdu(const session_t* s);
// Takes pdu, the response to the GET of s->asked: each member gets the varbind that names its
// object, or the empty reply, as snmpget gives it; what an error status leaves to ask stays in
// s->asked or goes back to be asked again.
void take_response(session_t* s, const struct snmp_pdu* pdu);
// The GET of s->asked got no answer within the session's timeout and retries: true when the
// round goes on (a GET larger than the agent took before, asked again in GETs of the old size);
// false when the round has failed.
bool batch_unanswered(session_t* s);
// Gives every member not read yet in the round the empty reply.
void fail_batches(session_t* s);
// Ends s's round, failed or not, and learns from it the GET size of the next.
void end_batches(session_t* s, bool failed);

#endif
