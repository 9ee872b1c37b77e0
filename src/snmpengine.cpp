// The built-in SNMP engine's loop: one thread runs every session's rounds side by side, with one
// wait over the sessions' sockets, the resolver's answers and the round, retry and wait timers.
// That thread is the only writer of its signals' readings (through res_parse) and the only user
// of the library; it shares nothing else, and with the resolver's threads only its pipes.
#include "snmpengine.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <net-snmp/library/large_fd_set.h>

#include <algorithm>
#include <exception>
#include <map>

#include "parser.h"
#include "resolver.h"
#include "signals.h"
#include "snmpbatch.h"
#include "snmpprint.h"
#include "snmpsession.h"
#include "snmpv3.h"
#include "snmpwindow.h"
#include "snmpwire.h"

// A host name's address is looked up again this often, so that an agent that moves is followed.
static const int64_t refresh_ns = 300 * 1000000000LL;
// No lookup of a name starts sooner than this after the one before, whatever failed meanwhile.
static const int64_t relook_ns = 10 * 1000000000LL;
// The epoll tag of the resolver's answers; a session's carries its index.
static const uint32_t resolver_tag = UINT32_MAX;
// With a period, rounds start on a grid of this many slots a period: the sessions of a slot
// start in one wake-up and their answers come together, so the thread wakes a few dozen times
// a period instead of several times for each session, and the agents' load is still spread.
static const int slots_per_period = 16;

struct snmp_engine_t {
  std::vector<session_t*> sessions;
  std::vector<signal_t*> unread;  // signals snmpget never prints anything for
  hosts_t hosts;
  resolver_t* resolver = NULL;  // null when no address names a host
  gates_t gates;
  std::multimap<int64_t, session_t*> timers;  // by monotonic ns
  int epoll = -1;
  netsnmp_large_fd_set fds;  // one socket at a time, for the library's read
  int64_t period_ns = 0;     // 0: no period
  int64_t slot_ns = 0;       // period_ns / slots_per_period; 0: no grid
  bool forever = false;      // false: sessions are not rescheduled after their round
  size_t busy = 0;           // sessions in a round
  std::vector<u_char> wire;  // where each GET on the wire is built and each answer read
};

static int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void clear_timer(snmp_engine_t* e, session_t* s) {
  if (s->timed)
    e->timers.erase(s->timer);
  s->timed = false;
}

static void set_timer(snmp_engine_t* e, session_t* s, int64_t at_ns) {
  clear_timer(e, s);
  s->timer = e->timers.emplace(at_ns, s);
  s->timed = true;
}

// Watches fd for the session; a wake-up carries the count of its opens and connects, so that one
// for a socket closed since is ignored.
static bool watch(snmp_engine_t* e, session_t* s, int fd, uint32_t events) {
  epoll_event ev = {};
  ev.events = events;
  ev.data.u64 = (uint64_t)++s->opened << 32 | s->index;
  return epoll_ctl(e->epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

static void ask(snmp_engine_t* e, session_t* s);
static void fail_round(snmp_engine_t* e, session_t* s);

// Starts a lookup of the host's name when none is in flight and one is due.
static void look_up(snmp_engine_t* e, host_t* h, int64_t now) {
  if (h->asking || now < h->due_ns || !e->resolver)
    return;
  lookup_t* l = new lookup_t;
  l->name = h->name;
  l->family = h->family;
  l->owner = h;
  if (!resolver_ask(e->resolver, l)) {
    delete l;
    return;
  }
  h->asking = l;
  h->asked_ns = now;
  h->due_ns = now + relook_ns;
}

// A session whose host has no address yet waits for the lookup, within its timeout.
static void await_lookup(snmp_engine_t* e, session_t* s) {
  int64_t now = now_ns();
  look_up(e, s->host, now);
  if (!s->host->asking) {
    fail_round(e, s);
    return;
  }
  s->resolving = true;
  s->host->waiting.push_back(s);
  set_timer(e, s, now + timeout_ns(s));
}

static void stop_waiting_for_lookup(session_t* s) {
  std::vector<session_t*>& w = s->host->waiting;
  w.erase(std::remove(w.begin(), w.end(), s), w.end());
  s->resolving = false;
}

// Takes every answered lookup; the sessions waiting for it go on.
static void take_lookups(snmp_engine_t* e) {
  while (lookup_t* l = resolver_take(e->resolver)) {
    host_t* h = (host_t*)l->owner;
    h->asking = NULL;
    if (l->error == 0) {
      h->address = l->address;
      h->found = l->found;
      h->due_ns = h->asked_ns + refresh_ns;
    }
    delete l;
    std::vector<session_t*> waiting;
    waiting.swap(h->waiting);
    for (session_t* s : waiting) {
      s->resolving = false;
      clear_timer(e, s);
      ask(e, s);
    }
  }
}

// A TCP agent is first connected to without blocking, within the session's timeout; the
// library, which connects and waits, opens only an agent that took that connection.
static void start_connect(snmp_engine_t* e, session_t* s) {
  int fd = s->peer_length ? socket(s->peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0) : -1;
  if (fd < 0 || (connect(fd, (sockaddr*)&s->peer, s->peer_length) != 0 && errno != EINPROGRESS) ||
      !watch(e, s, fd, EPOLLOUT)) {
    if (fd >= 0)
      close(fd);
    fail_round(e, s);
    return;
  }
  s->connecting = fd;
  set_timer(e, s, now_ns() + timeout_ns(s));
}

static void end_connect(snmp_engine_t* e, session_t* s) {
  if (s->connecting < 0)
    return;
  epoll_ctl(e->epoll, EPOLL_CTL_DEL, s->connecting, NULL);
  close(s->connecting);
  s->connecting = -1;
  clear_timer(e, s);
}

static void connected(snmp_engine_t* e, session_t* s) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(s->connecting, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
    error = errno;
  end_connect(e, s);
  if (error) {
    fail_round(e, s);
    return;
  }
  s->reached = true;
  ask(e, s);
}

// Opens the session; false when the library cannot. The socket is not handed to commands.
static bool open_session(snmp_engine_t* e, session_t* s) {
  s->open = snmp_sess_open(&s->settings);
  if (!s->open)
    return false;
  live(s)->flags |= SNMP_FLAGS_DONT_PROBE;  // the open copy does not keep it
  netsnmp_transport* t = snmp_sess_transport(s->open);
  s->fd = t ? t->sock : -1;
  if (s->fd >= 0)
    fcntl(s->fd, F_SETFD, FD_CLOEXEC);
  if (s->fd < 0 || !watch(e, s, s->fd, EPOLLIN)) {
    snmp_sess_close(s->open);
    s->open = NULL;
    return false;
  }
  s->wire = wire_fits(s) && encode_names(s);
  return true;
}

// A session that got no answer is closed, so that its next round opens it anew and an agent
// that restarted (new engine boots or engine ID) or moved is followed.
static void close_session(snmp_engine_t* e, session_t* s) {
  s->reached = false;
  if (!s->open)
    return;
  epoll_ctl(e->epoll, EPOLL_CTL_DEL, s->fd, NULL);
  snmp_sess_close(s->open);
  s->open = NULL;
  s->fd = -1;
  s->wire = false;
  s->window.least_ns = s->window.last_least_ns = 0;  // the next open may reach the agent another way
  drop_v3_state(s);
}

// Brings the session to open: its host's address, a TCP agent's connection, the library's open.
// False when the round waits for one of them or has failed.
static bool reach(snmp_engine_t* e, session_t* s) {
  if (!take_host_address(s)) {
    await_lookup(e, s);
    return false;
  }
  if (s->stream && !s->reached) {
    start_connect(e, s);
    return false;
  }
  if (!open_session(e, s)) {
    fail_round(e, s);
    return false;
  }
  return true;
}

// Hands a gate that was left to the first session waiting for it that takes it.
static void hand_on(snmp_engine_t* e, gate_t* g) {
  while (g && !g->holder && !g->queue.empty()) {
    session_t* w = g->queue.front();
    g->queue.pop_front();
    ask(e, w);
  }
}

static bool final_op(int op) {
  return op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || op == NETSNMP_CALLBACK_OP_TIMED_OUT ||
         op == NETSNMP_CALLBACK_OP_SEND_FAILED || op == NETSNMP_CALLBACK_OP_DISCONNECT;
}

// An agent that finds our engine boots or time out of its window reports its own, with which the
// library sends the request again: snmpget waits on for the answer too.
static bool resent(const session_t* s, int op, netsnmp_pdu* pdu) {
  return op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu && pdu->command == SNMP_MSG_REPORT &&
         !s->probing && snmpv3_get_report_type(pdu) == SNMPERR_NOT_IN_TIME_WINDOW;
}

static outcome_t take_answer(session_t* s, request_t* r, const netsnmp_pdu* pdu) {
  if (s->probing) {
    s->probing = false;
    return learn_engine_id(s, pdu) ? GO_ON : FAILED;
  }
  if (pdu->command != SNMP_MSG_RESPONSE)
    return FAILED;  // a report: unknown user, wrong digest and the like
  if (is_v3(s))
    keep_engine_time(s);
  answer_t a;
  answer_of_pdu(pdu, &a);
  take_response(s, r, &a);
  return GO_ON;
}

// The request in flight that reqid names; off the wire, a report to a request the agent could
// not decrypt carries request ID 0, and names the first still waiting.
static request_t* in_flight(session_t* s, long reqid) {
  for (request_t& r : s->flight)
    if (r.outcome == NO_ANSWER && (r.reqid == reqid || (reqid == 0 && !s->wire)))
      return &r;
  return NULL;
}

// The library's callback: the answer is taken at once, what follows it once the library has
// returned (a session is not closed or sent to from inside its own read).
static int on_answer(int op, netsnmp_session*, int reqid, netsnmp_pdu* pdu, void* magic) {
  session_t* s = (session_t*)magic;
  request_t* r = final_op(op) && !resent(s, op, pdu) ? in_flight(s, reqid) : NULL;
  if (!r && op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE)
    window_stray_answer(s, reqid);
  if (!r)
    return 1;  // also the answer or timeout of a GET given up as lost and asked again
  r->answered_ns = now_ns();
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu)
    r->outcome = take_answer(s, r, pdu);
  else
    r->outcome = op == NETSNMP_CALLBACK_OP_TIMED_OUT ? UNANSWERED : FAILED;
  return 1;
}

// Sets the timer to the library's next retry or give-up of the session's requests; false
// when the library holds no request for it.
static bool arm_retry(snmp_engine_t* e, session_t* s) {
  if (s->wire) {
    int64_t first = INT64_MAX;
    for (const request_t& r : s->flight)
      if (r.outcome == NO_ANSWER)
        first = std::min(first, r.expires_ns);
    set_timer(e, s, first);
    return true;
  }
  int fds = 0, block = 0;
  timeval left = {86400, 0};  // the library only shortens it
  snmp_sess_select_info2_flags(s->open, &fds, &e->fds, &left, &block, NETSNMP_SELECT_NOALARMS);
  NETSNMP_LARGE_FD_ZERO(&e->fds);
  if (block)
    return false;
  set_timer(e, s, now_ns() + left.tv_sec * 1000000000LL + left.tv_usec * 1000LL);
  return true;
}

// Puts r, just sent, in flight; false when it could not be sent (no request ID), and the round
// has failed.
static bool launch(snmp_engine_t* e, session_t* s, request_t* r) {
  if (!r->reqid) {
    s->ready.emplace_front();
    s->ready.front().swap(r->asked);  // so that its members get the empty reply too
    fail_round(e, s);
    return false;
  }
  s->flight.push_back(std::move(*r));
  window_sent(s, &s->flight.back(), now_ns());
  return true;
}

// Sends pdu as the request r of s through the library.
static bool send_request(snmp_engine_t* e, session_t* s, netsnmp_pdu* pdu, request_t* r) {
  r->reqid = pdu ? snmp_sess_async_send(s->open, pdu, on_answer, s) : 0;
  if (!r->reqid)
    snmp_free_pdu(pdu);
  return launch(e, s, r);
}

// Sends r's GET on the wire, as first sent or again; false when it cannot be built or sent.
static bool put_on_wire(snmp_engine_t* e, session_t* s, request_t* r) {
  size_t length;
  u_char* get = build_get(s, *r, r->reqid, e->wire.data(), e->wire.size(), &length);
  void* opaque = NULL;  // the transport's own peer
  int olength = 0;
  if (!get || netsnmp_transport_send(snmp_sess_transport(s->open), get, (int)length, &opaque, &olength) < 0)
    return false;
  r->expires_ns = now_ns() + timeout_ns(s);
  return true;
}

// Sends the GET r of a session on the wire under a new request ID of the library's.
static bool send_get(snmp_engine_t* e, session_t* s, request_t* r) {
  r->reqid = (int)snmp_get_next_reqid();
  if (!put_on_wire(e, s, r))
    r->reqid = 0;
  return launch(e, s, r);
}

// A v3 session that does not know its agent's engine time yet has one GET in flight: the
// agent's report to it sets the time.
static size_t room(const session_t* s) {
  return is_v3(s) && !knows_engine_time(s) ? 1 : window_room(s);
}

// Sends s's next request when one may go now: its v3 agent's engine ID first, then the round's
// GETs while its window has room and its gate lets it. False when none went, or the round failed.
static bool send_next(snmp_engine_t* e, session_t* s) {
  request_t r;
  if (needs_engine_id(s)) {
    if (!s->flight.empty())
      return false;
    s->probing = true;
    return send_request(e, s, probe_pdu(), &r);
  }
  if (!more_to_ask(s) || s->flight.size() >= room(s))
    return false;
  if (is_v3(s)) {
    if (!enter_gate(&e->gates, s))
      return false;  // asked again when the gate is handed on
    if (s->flight.empty())
      own_v3_state(s);
  }
  next_batch(s, &r);
  return s->wire ? send_get(e, s, &r) : send_request(e, s, batch_pdu(s, r), &r);
}

static void end_round(snmp_engine_t* e, session_t* s, bool failed);

// Sends what the session may send of its round now, or ends the round when every member is read.
static void ask(snmp_engine_t* e, session_t* s) {
  if (!s->open && !reach(e, s))
    return;
  while (send_next(e, s)) {
  }
  if (!s->in_round)
    return;  // a send failed
  if (s->flight.empty()) {
    if (!more_to_ask(s))
      end_round(e, s, false);
    return;  // or it waits at its gate
  }
  if (!arm_retry(e, s))
    fail_round(e, s);
}

// The first time at or after t on the grid of round starts.
static int64_t on_grid(const snmp_engine_t* e, int64_t t) {
  return e->slot_ns ? (t + e->slot_ns - 1) / e->slot_ns * e->slot_ns : t;
}

// began is when the round was due, so that paced rounds keep to their slot.
static void start_round(snmp_engine_t* e, session_t* s, int64_t began) {
  s->in_round = true;
  s->began_ns = began;
  begin_batches(s);
  e->busy++;
  if (s->host) {
    look_up(e, s->host, now_ns());  // now and then, or after a round that failed
    if (s->open && s->host->address != s->opened_at)
      close_session(e, s);  // the agent has moved
  }
  ask(e, s);
}

// The least time from the start of one round to the start of the next.
static int64_t pace_ns(const snmp_engine_t* e, const session_t* s) {
  return e->period_ns > 0 ? e->period_ns : 200000LL * (int64_t)s->members.size();
}

// A round that failed at once (no address, no open) is followed no sooner than one that waited
// its timeout, so that a session that cannot be reached never spins.
static void end_round(snmp_engine_t* e, session_t* s, bool failed) {
  clear_timer(e, s);
  s->in_round = false;
  e->busy--;
  end_batches(s, failed);
  window_round_end(s, failed);
  if (!e->forever)
    return;
  int64_t at = s->began_ns + pace_ns(e, s);
  if (failed)
    at = std::max(at, s->began_ns + timeout_ns(s));
  set_timer(e, s, on_grid(e, std::max(now_ns(), at)));
}

// No answer, or none that can be trusted: every member not read yet gets snmpget's empty reply,
// the session is closed, and its host, if any, is looked up again soon.
static void fail_round(snmp_engine_t* e, session_t* s) {
  fail_batches(s);
  s->flight.clear();  // what the library still holds of them is ignored when it ends
  s->probing = false;
  if (s->resolving)
    stop_waiting_for_lookup(s);
  end_connect(e, s);
  close_session(e, s);
  if (s->host)
    s->host->due_ns = std::min(s->host->due_ns, s->host->asked_ns + relook_ns);
  hand_on(e, leave_gate(s));
  end_round(e, s, true);
}

// A request that got no answer, or was overtaken by so many answers to later ones that it is
// lost: false when the round has failed with it. A larger GET on trial tells of its size, not of
// a busy agent: the window stays as it is.
static bool unanswered(session_t* s, request_t* r) {
  return !s->probing && batch_unanswered(s, r, !r->growing && window_lost(s, *r));
}

// After the library has read for the session or looked at its timeouts: the answers are noted,
// the requests that ended leave the flight, and the window is filled again.
static void after_io(snmp_engine_t* e, session_t* s) {
  std::vector<request_t>& f = s->flight;
  if (f.empty())
    return;
  for (size_t i = 0; i < f.size(); i++)
    if (f[i].outcome == GO_ON)
      window_answered(s, i, window_late(s, pace_ns(e, s)));
  bool failed = false;
  for (request_t& r : f) {
    if (r.outcome == NO_ANSWER && overtaken(s, r))
      r.outcome = UNANSWERED;
    if (r.outcome == FAILED || (r.outcome == UNANSWERED && !unanswered(s, &r)))
      failed = true;
  }
  if (failed) {
    fail_round(e, s);
    return;
  }
  f.erase(std::remove_if(f.begin(), f.end(), [](const request_t& r) { return r.outcome != NO_ANSWER; }), f.end());
  if (f.empty())
    hand_on(e, leave_gate(s));
  ask(e, s);
}

// A read that failed fails the requests in flight; a session with none is closed, as a broken
// stream would wake the loop without end.
static void read_failed(snmp_engine_t* e, session_t* s) {
  if (s->flight.empty())
    close_session(e, s);
  for (request_t& r : s->flight)
    if (r.outcome == NO_ANSWER)
      r.outcome = FAILED;
}

static void read_session(snmp_engine_t* e, session_t* s) {
  NETSNMP_LARGE_FD_SET(s->fd, &e->fds);
  int rc = snmp_sess_read2(s->open, &e->fds);
  NETSNMP_LARGE_FD_ZERO(&e->fds);
  if (rc != 0)
    read_failed(e, s);
  after_io(e, s);
}

// A datagram to a session on the wire: an answer to a GET in flight ends it, a report fails it
// (as on the library's path), and anything else is dropped, as the library drops it.
static void take_datagram(session_t* s, u_char* data, size_t length) {
  answer_t a;
  datagram_t kind = read_datagram(data, length, live(s)->version, &a);
  request_t* r = kind == NOT_ANSWER ? NULL : in_flight(s, a.reqid);
  if (!r && kind != NOT_ANSWER)
    window_stray_answer(s, a.reqid);
  if (!r || !read_varbinds(&a, s, *r))
    return;
  r->answered_ns = now_ns();
  r->outcome = FAILED;
  if (kind == RESPONSE) {
    take_response(s, r, &a);
    r->outcome = GO_ON;
  }
}

// One datagram a wake-up, as the library reads: a socket with more wakes the next wait at once,
// and a read that would find nothing costs no call.
static void read_wire(snmp_engine_t* e, session_t* s) {
  sockaddr_storage from;
  socklen_t length = sizeof from;
  ssize_t n = recvfrom(s->fd, e->wire.data(), e->wire.size(), MSG_DONTWAIT, (sockaddr*)&from, &length);
  if (n >= 0) {
    if (source_accepted(&from))
      take_datagram(s, e->wire.data(), (size_t)n);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    read_failed(e, s);
  }
  after_io(e, s);
}

// The library's retries, for GETs on the wire: a GET unanswered when its wait ends goes again
// under its request ID until the session's retries are spent.
static void wire_timeout(snmp_engine_t* e, session_t* s, int64_t now) {
  for (request_t& r : s->flight) {
    if (r.outcome != NO_ANSWER || r.expires_ns > now)
      continue;
    if (r.retries >= live(s)->retries) {
      r.outcome = UNANSWERED;
      r.answered_ns = now;
      continue;
    }
    r.retries++;
    if (!put_on_wire(e, s, &r)) {
      r.outcome = FAILED;
      r.answered_ns = now;
    }
  }
}

static void fire_timers(snmp_engine_t* e, int64_t now) {
  while (!e->timers.empty() && e->timers.begin()->first <= now) {
    int64_t due = e->timers.begin()->first;
    session_t* s = e->timers.begin()->second;
    clear_timer(e, s);
    if (!s->flight.empty()) {
      if (s->wire)
        wire_timeout(e, s, now);
      else
        snmp_sess_timeout(s->open);  // retries, or gives up through on_answer
      after_io(e, s);
    } else if (s->resolving || s->connecting >= 0) {
      fail_round(e, s);
    } else if (!s->in_round) {
      start_round(e, s, due);
    }
  }
}

// Waits for a socket or until the first timer; returns the number of ready sockets. A wait cut
// short, as a stopped process's is when it goes on, still looks at what has arrived meanwhile.
static int wait_events(snmp_engine_t* e, epoll_event* events, int size) {
  int n;
  if (e->timers.empty()) {
    n = epoll_wait(e->epoll, events, size, -1);
  } else {
    int64_t left = std::max<int64_t>(0, e->timers.begin()->first - now_ns());
    timespec t = {(time_t)(left / 1000000000), (long)(left % 1000000000)};
    n = epoll_pwait2(e->epoll, events, size, &t, NULL);
    if (n < 0 && errno == ENOSYS)  // kernels before 5.11: whole milliseconds
      n = epoll_wait(e->epoll, events, size, (int)((left + 999999) / 1000000));
  }
  return n < 0 && errno == EINTR ? epoll_wait(e->epoll, events, size, 0) : n;
}

static void handle_ready(snmp_engine_t* e, const epoll_event* events, int n) {
  for (int i = 0; i < n; i++) {
    uint32_t index = (uint32_t)events[i].data.u64;
    if (index == resolver_tag) {
      take_lookups(e);
      continue;
    }
    session_t* s = e->sessions[index];
    if (s->opened != (uint32_t)(events[i].data.u64 >> 32))
      continue;
    if (s->connecting >= 0)
      connected(e, s);
    else if (s->wire)
      read_wire(e, s);
    else if (s->open)
      read_session(e, s);
  }
}

// Every answer that has arrived is read before the timers fire: after the process was held up
// (a loaded machine, a stop), only the sessions still without an answer time out.
static void run(snmp_engine_t* e) {
  epoll_event events[64];
  while (e->forever || e->busy > 0) {
    int n = wait_events(e, events, 64);
    for (; n > 0; n = n == 64 ? epoll_wait(e->epoll, events, 64, 0) : 0)
      handle_ready(e, events, n);
    fire_timers(e, now_ns());
  }
}

// Raises the soft limit on descriptors to cover one socket per session and a margin for the
// rest of morvane and its commands; the hard limit is never passed.
static void allow_descriptors(size_t sessions) {
  rlimit r;
  rlim_t want = (rlim_t)sessions + 256;
  if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= want)
    return;
  r.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max > want ? want : r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}

// Starts the resolver when an address names a host; false when it cannot be started.
static bool start_resolver(snmp_engine_t* e) {
  if (e->hosts.empty())
    return true;
  e->resolver = resolver_new();
  epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.u64 = resolver_tag;
  return e->resolver && epoll_ctl(e->epoll, EPOLL_CTL_ADD, resolver_fd(e->resolver), &ev) == 0;
}

snmp_engine_t* snmp_engine_new(const std::vector<signal_t*>& table, const snmp_conf_t* conf) {
  snmp_engine_t* e = new snmp_engine_t;
  make_sessions(table, conf, &e->sessions, &e->unread, &e->hosts);
  // sessions without members (refused options) stay in the list, never asked
  allow_descriptors(e->sessions.size());
  size_t window = conf && conf->snmp_window > 0 ? conf->snmp_window : default_window;
  for (session_t* s : e->sessions)
    s->window.limit = window;
  e->epoll = epoll_create1(EPOLL_CLOEXEC);
  if (e->epoll < 0 || !start_resolver(e))
    return NULL;  // what it made lives on unused, as an engine would
  netsnmp_large_fd_set_init(&e->fds, FD_SETSIZE);
  e->wire.resize(wire_size);
  e->period_ns = conf && conf->poll_period > 0 ? conf->poll_period * 1000000LL : 0;
  e->slot_ns = e->period_ns / slots_per_period;  // whole: a period in ms is a multiple of 64 ns
  return e;
}

bool snmp_engine_empty(const snmp_engine_t* e) {
  if (!e->unread.empty())
    return false;
  for (const session_t* s : e->sessions)
    if (!s->members.empty())
      return false;
  return true;
}

static void reply_unread(snmp_engine_t* e) {
  for (signal_t* s : e->unread)
    try {
      res_parse(s, "");
    } catch (const std::exception&) {
    }
}

void snmp_engine_round(snmp_engine_t* e) {
  e->forever = false;
  reply_unread(e);
  int64_t now = now_ns();
  for (session_t* s : e->sessions)
    if (!s->members.empty() && !s->in_round)
      start_round(e, s, now);
  run(e);
}

// With a period, first rounds are spread over it, so that the agents' load comes evenly.
void* get_snmp_data(void* engine) {
  snmp_engine_t* e = (snmp_engine_t*)engine;
  e->forever = true;
  reply_unread(e);
  int64_t now = now_ns();
  size_t n = e->sessions.size();
  for (size_t i = 0; i < n; i++)
    if (!e->sessions[i]->members.empty())
      set_timer(e, e->sessions[i], on_grid(e, now + (int64_t)(e->period_ns * i / n)));
  run(e);
  return NULL;
}
