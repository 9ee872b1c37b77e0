// The requests of the built-in engine's sessions: GETs of members and v3 engine ID probes, sent
// on the wire (snmpwire.h) or through the library, sent again within the session's retries, read
// and settled. The engine's loop decides when; this room does the asking.
#ifndef MORVANE_SNMPREQUEST_H
#define MORVANE_SNMPREQUEST_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
#include <stdint.h>

#include <vector>

#include "snmpv3.h"

struct session_t;

// Where a request stands.
enum outcome_t { IN_FLIGHT, ANSWERED, UNANSWERED, FAILED };

// A request of a session in flight. This room writes its identity and outcome; the batch
// (snmpbatch.h) what it asks and whether it was read, the window (snmpwindow.h) when and how
// deep it went, each through its own functions.
struct request_t {
  int reqid = 0;
  bool probe = false;           // a v3 agent's engine ID probe, not a GET
  int walk = -1;                // a walk's GETBULK or GETNEXT: the session's walk; -1: none
  int retries = 0;              // on the wire: sent again this often, up to the session's retries
  int64_t expires_ns = 0;       // on the wire: when its last send goes unanswered, monotonic
  int64_t answered_ns = 0;      // when its answer was read, or it was given up; 0: neither yet
  outcome_t outcome = IN_FLIGHT;
  std::vector<uint32_t> asked;  // the GET's members, in the order asked; empty for a probe
  bool growing = false;         // the GET asks for more than per_get
  bool uptime = false;          // the GET also asks the agent's sysUpTime.0, after the members
  bool read = false;            // its answer gave every member asked a reply
  int64_t sent_ns = 0;          // monotonic
  size_t depth = 0;             // the session's requests in flight once it was sent, itself included
  bool first = false;           // sent before the round's first answer
  uint32_t overtaken = 0;       // answers to GETs sent after it, read before its own
  bool heard = false;           // its agent answered it, if only with a report
};

// A session's link to its agent, written by this room alone.
struct link_t {
  void* library = NULL;  // the library's open session; null until opened, and after a round failed
  int fd = -1;           // its socket
  bool wire = false;     // its GETs go on the wire, not the library's path
  int connecting = -1;   // with a TCP agent: the engine's socket connecting to it
  bool reached = false;  // with a TCP agent: it took the engine's connection since the last close
  uint32_t generation = 0;  // counts opens and connects, so that a wake-up for an earlier socket is ignored
};

// What an engine's requests are built and read in: one per engine.
struct io_t {
  std::vector<u_char> wire;  // each GET on the wire is built, and each answer read, here
  netsnmp_large_fd_set fds;  // one socket at a time, for the library's read
};

// What send_next did.
enum sent_t { NOTHING_SENT, SENT, SEND_FAILED };

// Makes io ready for use. Throws std::bad_alloc without memory.
void io_init(io_t* io);
// Opens s's library session on its settings, its socket not handed to commands and watched on
// epoll, and learns whether its GETs may go on the wire; false when it cannot be opened.
bool open_link(int epoll, session_t* s);
// Sends s's GETs on the wire when its open session may and no walk goes on, else through the
// library; call as a walk begins or ends.
void choose_path(session_t* s);
// Closes s's library session, if open, and forgets what was learnt through it: the connection,
// the answers' round trips, its v3 user entry and engine time.
void close_link(int epoll, session_t* s);
// Starts connecting to s's TCP agent without blocking, the socket watched on epoll until it is
// writable; false when the connect failed at once.
bool connect_link(int epoll, session_t* s);
// Ends s's connect, if any; true when the agent took the connection, and the library may open it.
bool end_connect(int epoll, session_t* s);
// True when a wake-up tagged tag is for s's socket of now, not one closed since.
bool current_socket(const session_t* s, uint64_t tag);
// Sends s's next request when one may go now: its v3 agent's engine ID first, then the round's
// GETs while its window has room and its gate lets it. SEND_FAILED when a request could not be
// sent, and the round has failed: its members are put back in line to get the empty reply.
sent_t send_next(io_t* io, gates_t* gates, session_t* s);
// Returns when the first of s's requests in flight is due to be sent again or given up,
// monotonic ns; -1 when the library holds none of them.
int64_t next_expiry(io_t* io, session_t* s);
// Reads what has come for s: one datagram on the wire, or what the library reads. False when the
// read failed; the requests in flight have failed with it.
bool read_answers(io_t* io, session_t* s);
// Sends again, or gives up, s's requests whose wait ended by now (monotonic ns).
void expire_requests(io_t* io, session_t* s, int64_t now);
// Settles s's requests that ended: answers are noted in the window (late: window_late at
// pace_ns), a request overtaken by later answers is lost, and a lost GET is asked again when the
// round can go on; ended requests leave the flight, the lost ones counted to the agent's health.
// False when the round has failed.
bool settle_requests(session_t* s, int64_t pace_ns);
// Forgets every request in flight: what the library still holds of them is ignored when it ends,
// and those without an answer are counted lost to the agent's health.
void drop_requests(session_t* s);

#endif
