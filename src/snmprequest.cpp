// Requests of the built-in engine's sessions, on the wire or through the library: what is sent,
// read, sent again and given up, and what each answer gives. Used by the engine's thread only.
#include "snmprequest.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "health.h"
#include "signals.h"
#include "snmpbatch.h"
#include "snmpsession.h"
#include "snmptable.h"
#include "snmpwindow.h"
#include "snmpwire.h"
#include "sockets.h"

void io_init(io_t* io) {
  io->wire.resize(wire_size);
  netsnmp_large_fd_set_init(&io->fds, FD_SETSIZE);
}

// A wake-up's tag carries the count of the session's opens and connects.
static bool watch(int epoll, session_t* s, int fd, uint32_t events) {
  return watch_fd(epoll, fd, events, (uint64_t)++s->link.generation << 32 | s->index);
}

bool current_socket(const session_t* s, uint64_t tag) {
  return s->link.generation == (uint32_t)(tag >> 32);
}

bool open_link(int epoll, session_t* s) {
  link_t& k = s->link;
  k.library = snmp_sess_open(&s->settings);
  if (!k.library)
    return false;
  live(s)->flags |= SNMP_FLAGS_DONT_PROBE;  // the open copy does not keep it
  netsnmp_transport* t = snmp_sess_transport(k.library);
  k.fd = t ? t->sock : -1;
  if (k.fd >= 0)
    fcntl(k.fd, F_SETFD, FD_CLOEXEC);
  if (k.fd < 0 || !watch(epoll, s, k.fd, EPOLLIN)) {
    snmp_sess_close(k.library);
    k.library = NULL;
    return false;
  }
  choose_path(s);
  return true;
}

// A walk's requests go through the library, whose read its answers need: while a walk goes on,
// the session's GETs go that way too.
void choose_path(session_t* s) {
  s->link.wire = s->link.library && !walks_going(s) && wire_fits(s) && encode_names(s);
}

// The next open reaches the agent anew: another address, engine boots or engine ID.
void close_link(int epoll, session_t* s) {
  link_t& k = s->link;
  k.reached = false;
  if (!k.library)
    return;
  unwatch_fd(epoll, k.fd);
  snmp_sess_close(k.library);
  k.library = NULL;
  k.fd = -1;
  k.wire = false;
  window_forget_trips(s);
  drop_v3_state(s);
}

bool connect_link(int epoll, session_t* s) {
  int fd = connect_nonblocking(&s->address.peer, s->address.peer_length);
  if (fd >= 0 && !watch(epoll, s, fd, EPOLLOUT)) {
    close(fd);
    fd = -1;
  }
  s->link.connecting = fd;
  return fd >= 0;
}

bool end_connect(int epoll, session_t* s) {
  link_t& k = s->link;
  if (k.connecting < 0)
    return false;
  k.reached = connect_error(k.connecting) == 0;
  unwatch_fd(epoll, k.connecting);
  close(k.connecting);
  k.connecting = -1;
  return k.reached;
}

static bool final_op(int op) {
  return op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || op == NETSNMP_CALLBACK_OP_TIMED_OUT ||
         op == NETSNMP_CALLBACK_OP_SEND_FAILED || op == NETSNMP_CALLBACK_OP_DISCONNECT;
}

// An agent that finds our engine boots or time out of its window reports its own, with which the
// library sends the request again: snmpget waits on for the answer too.
static bool resent(int op, netsnmp_pdu* pdu) {
  return op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu && pdu->command == SNMP_MSG_REPORT &&
         snmpv3_get_report_type(pdu) == SNMPERR_NOT_IN_TIME_WINDOW;
}

static outcome_t take_answer(session_t* s, request_t* r, const netsnmp_pdu* pdu) {
  if (r->probe)
    return learn_engine_id(s, pdu) ? ANSWERED : FAILED;
  if (pdu->command != SNMP_MSG_RESPONSE)
    return FAILED;  // a report: unknown user, wrong digest and the like
  if (is_v3(s))
    keep_engine_time(s);
  if (r->walk >= 0) {
    take_walk_answer(s, r, pdu);
    return ANSWERED;
  }
  answer_t a;
  answer_of_pdu(pdu, &a);
  take_response(s, r, &a);
  return ANSWERED;
}

// The request in flight that reqid names; off the wire, a report to a request the agent could
// not decrypt carries request ID 0, and names the first still waiting.
static request_t* in_flight(session_t* s, long reqid) {
  for (request_t& r : s->flight)
    if (r.outcome == IN_FLIGHT && (r.reqid == reqid || (reqid == 0 && !s->link.wire)))
      return &r;
  return NULL;
}

// The library's callback: the answer is taken at once, what follows it once the library has
// returned (a session is not closed or sent to from inside its own read).
static int on_answer(int op, netsnmp_session*, int reqid, netsnmp_pdu* pdu, void* magic) {
  session_t* s = (session_t*)magic;
  request_t* r = final_op(op) ? in_flight(s, reqid) : NULL;
  if (r && !r->probe && resent(op, pdu))
    r = NULL;
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE)
    s->heard_ns = monotonic_ns();
  if (!r && op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE)
    window_stray_answer(s, reqid);
  if (!r)
    return 1;  // also the answer or timeout of a GET given up as lost and asked again
  r->answered_ns = monotonic_ns();
  r->heard = op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE;
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu)
    r->outcome = take_answer(s, r, pdu);
  else
    r->outcome = op == NETSNMP_CALLBACK_OP_TIMED_OUT ? UNANSWERED : FAILED;
  return 1;
}

int64_t next_expiry(io_t* io, session_t* s) {
  if (s->link.wire) {
    int64_t first = INT64_MAX;
    for (const request_t& r : s->flight)
      if (r.outcome == IN_FLIGHT)
        first = std::min(first, r.expires_ns);
    return first;
  }
  int fds = 0, block = 0;
  timeval left = {86400, 0};  // the library only shortens it
  snmp_sess_select_info2_flags(s->link.library, &fds, &io->fds, &left, &block, NETSNMP_SELECT_NOALARMS);
  NETSNMP_LARGE_FD_ZERO(&io->fds);
  if (block)
    return -1;
  return monotonic_ns() + left.tv_sec * 1000000000LL + left.tv_usec * 1000LL;
}

// Puts r, just sent, in flight; false when it could not be sent (no request ID), and its members
// go back in line, so that the failed round gives them the empty reply too.
static bool launch(session_t* s, request_t* r) {
  if (!r->reqid) {
    give_back(s, r);
    return false;
  }
  s->flight.push_back(std::move(*r));
  int64_t now = monotonic_ns();
  window_sent(s, &s->flight.back(), now);
  if (!s->first_sent_ns)
    s->first_sent_ns = now;
  return true;
}

// Sends pdu as the request r of s through the library.
static bool send_request(session_t* s, netsnmp_pdu* pdu, request_t* r) {
  r->reqid = pdu ? snmp_sess_async_send(s->link.library, pdu, on_answer, s) : 0;
  if (!r->reqid)
    snmp_free_pdu(pdu);
  return launch(s, r);
}

// Sends r's GET on the wire, as first sent or again; false when it cannot be built or sent.
static bool put_on_wire(io_t* io, session_t* s, request_t* r) {
  size_t length;
  u_char* get = build_get(s, *r, r->reqid, io->wire.data(), io->wire.size(), &length);
  void* opaque = NULL;  // the transport's own peer
  int olength = 0;
  if (!get ||
      netsnmp_transport_send(snmp_sess_transport(s->link.library), get, (int)length, &opaque, &olength) < 0)
    return false;
  r->expires_ns = monotonic_ns() + timeout_ns(s);
  return true;
}

// Sends the GET r of a session on the wire under a new request ID of the library's.
static bool send_get(io_t* io, session_t* s, request_t* r) {
  r->reqid = (int)snmp_get_next_reqid();
  if (!put_on_wire(io, s, r))
    r->reqid = 0;
  return launch(s, r);
}

// A v3 session that does not know its agent's engine time yet has one GET in flight: the
// agent's report to it sets the time.
static size_t room(const session_t* s) {
  return is_v3(s) && !knows_engine_time(s) ? 1 : window_room(s);
}

// Fills r with s's next request when one may go now: its v3 agent's engine ID first, then the
// round's GETs while its window has room and its gate lets it; false when none may.
static bool next_request(gates_t* gates, session_t* s, request_t* r) {
  if (needs_engine_id(s)) {
    if (!s->flight.empty())
      return false;
    r->probe = true;
    return true;
  }
  if ((!more_to_ask(s) && !walks_going(s)) || s->flight.size() >= room(s))
    return false;
  if (is_v3(s)) {
    if (!enter_gate(gates, s))
      return false;  // asked again when the gate is handed on
    if (s->flight.empty())
      own_v3_state(s);
  }
  return next_walk(s, r) || next_batch(s, r);
}

sent_t send_next(io_t* io, gates_t* gates, session_t* s) {
  request_t r;
  if (!next_request(gates, s, &r))
    return NOTHING_SENT;
  bool sent = r.probe ? send_request(s, probe_pdu(), &r)
              : r.walk >= 0 ? send_request(s, walk_pdu(s, r), &r)
              : s->link.wire ? send_get(io, s, &r) : send_request(s, batch_pdu(s, r), &r);
  return sent ? SENT : SEND_FAILED;
}

// A read that failed fails the requests in flight.
static bool read_failed(session_t* s) {
  for (request_t& r : s->flight)
    if (r.outcome == IN_FLIGHT)
      r.outcome = FAILED;
  return false;
}

// A datagram to a session on the wire: an answer to a GET in flight ends it, a report fails it
// (as on the library's path), and anything else is dropped, as the library drops it.
static void take_datagram(session_t* s, u_char* data, size_t length) {
  answer_t a;
  datagram_t kind = read_datagram(data, length, live(s)->version, &a);
  request_t* r = kind == NOT_ANSWER ? NULL : in_flight(s, a.reqid);
  if (kind != NOT_ANSWER)
    s->heard_ns = monotonic_ns();
  if (!r && kind != NOT_ANSWER)
    window_stray_answer(s, a.reqid);
  if (!r || !read_varbinds(&a, s, *r))
    return;
  r->answered_ns = s->heard_ns;
  r->heard = true;
  r->outcome = FAILED;
  if (kind == RESPONSE) {
    take_response(s, r, &a);
    r->outcome = ANSWERED;
  }
}

// One datagram a wake-up, as the library reads: a socket with more wakes the next wait at once,
// and a read that would find nothing costs no call.
static bool read_wire(io_t* io, session_t* s) {
  sockaddr_storage from;
  socklen_t length = sizeof from;
  ssize_t n = recvfrom(s->link.fd, io->wire.data(), io->wire.size(), MSG_DONTWAIT, (sockaddr*)&from, &length);
  if (n >= 0) {
    if (source_accepted(&from))
      take_datagram(s, io->wire.data(), (size_t)n);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    return read_failed(s);
  }
  return true;
}

bool read_answers(io_t* io, session_t* s) {
  if (s->link.wire)
    return read_wire(io, s);
  NETSNMP_LARGE_FD_SET(s->link.fd, &io->fds);
  int rc = snmp_sess_read2(s->link.library, &io->fds);
  NETSNMP_LARGE_FD_ZERO(&io->fds);
  return rc == 0 || read_failed(s);
}

// The library's retries, for GETs on the wire: a GET unanswered when its wait ends goes again
// under its request ID until the session's retries are spent.
static void wire_timeout(io_t* io, session_t* s, int64_t now) {
  for (request_t& r : s->flight) {
    if (r.outcome != IN_FLIGHT || r.expires_ns > now)
      continue;
    if (r.retries >= live(s)->retries) {
      r.outcome = UNANSWERED;
      r.answered_ns = now;
      continue;
    }
    r.retries++;
    if (!put_on_wire(io, s, &r)) {
      r.outcome = FAILED;
      r.answered_ns = now;
    }
  }
}

void expire_requests(io_t* io, session_t* s, int64_t now) {
  if (s->link.wire)
    wire_timeout(io, s, now);
  else
    snmp_sess_timeout(s->link.library);  // retries, or gives up through on_answer
}

// A request that ended, or is dropped, without a word from its agent is a GET lost.
static void count_lost(session_t* s, const request_t& r) {
  if (s->health && !r.heard)  // an answered request was heard
    s->health->lost++;
}

// A request that got no answer, or was overtaken by so many answers to later ones that it is
// lost: true when the round goes on without it. A larger GET on trial tells of its size, not of
// a busy agent: the window stays as it is. A walk's request that got no answer fails the round,
// as a GET's would.
static bool round_goes_on(session_t* s, request_t* r) {
  return !r->probe && r->walk < 0 && ask_again_lost(s, r, !r->growing && window_lost(s, *r));
}

bool settle_requests(session_t* s, int64_t pace_ns) {
  std::vector<request_t>& f = s->flight;
  for (size_t i = 0; i < f.size(); i++)
    if (f[i].outcome == ANSWERED)
      window_answered(s, i, window_late(s, pace_ns));
  bool failed = false;
  for (request_t& r : f) {
    if (r.outcome == IN_FLIGHT && r.walk < 0 && overtaken(s, r))  // a GETBULK may well take longer
      r.outcome = UNANSWERED;
    if (r.outcome == FAILED || (r.outcome == UNANSWERED && !round_goes_on(s, &r)))
      failed = true;
  }
  if (failed)
    return false;
  for (const request_t& r : f)
    if (r.outcome != IN_FLIGHT)
      count_lost(s, r);
  f.erase(std::remove_if(f.begin(), f.end(), [](const request_t& r) { return r.outcome != IN_FLIGHT; }), f.end());
  return true;
}

void drop_requests(session_t* s) {
  for (const request_t& r : s->flight)
    count_lost(s, r);
  s->flight.clear();
}
