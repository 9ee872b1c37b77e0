// The built-in SNMP engine's loop: one thread runs every session's rounds side by side, with one
// wait over the sessions' sockets, the resolver's answers and the round, retry and wait timers.
// That thread is the only writer of its signals' readings (through res_parse) and the only user
// of the library; it walks the SNMP columns and publishes the table as their rows change
// (rows.h); it keeps its agents' health (health.h) and writes their figures every half second.
// A reload (reload.h) wakes it through its eventfd: it takes the loaded file in force,
// and each session its new members at its round's end. It shares nothing else, and with the
// resolver's threads only its pipes.
#include "snmpengine.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <map>

#include "health.h"
#include "parser.h"
#include "reload.h"
#include "resolver.h"
#include "rows.h"
#include "signals.h"
#include "snmpsession.h"
#include "sockets.h"

// The epoll tags of the resolver's answers and of a reload's wake-up; a session's carries its index.
static const uint32_t resolver_tag = UINT32_MAX;
static const uint32_t reload_tag = UINT32_MAX - 1;
// With a period, rounds start on a grid of this many slots a period: the sessions of a slot
// start in one wake-up and their answers come together, so the thread wakes a few dozen times
// a period instead of several times for each session, and the agents' load is still spread.
static const int slots_per_period = 16;
// Rows that a walk changed are published this long at least after the last change was: walks
// that end together (at start-up, a thousand agents) publish the table a few times, not each.
static const int64_t publish_gap_ns = 250000000;
// The agents' figures are written this often: each delivery pass finds them new.
static const int64_t figures_gap_ns = 500000000;

// An agent's figure of the table the sessions read, and the record it is read from.
struct figure_slot_t {
  signal_t* signal;
  figure_t figure;
  agent_health_t* agent;
};

struct snmp_engine_t {
  std::shared_ptr<const loaded_t> loaded;  // the loaded file its sessions read; null: a table of its own
  // The files loaded before, whose signals sessions still read until they take their new members.
  std::vector<std::shared_ptr<const loaded_t>> retired;
  // The rows of columns a reload let go, which a GET in flight may still write: kept as long.
  std::vector<std::shared_ptr<signal_t>> retired_rows;
  size_t regrouping = 0;  // sessions yet to take their new members
  const snmp_conf_t* conf = NULL;
  int reload_fd = -1;  // eventfd: a reload was published
  std::vector<session_t*> sessions;
  std::vector<signal_t*> unread;  // signals snmpget never prints anything for
  hosts_t hosts;
  resolver_t* resolver = NULL;  // null when no address names a host
  gates_t gates;
  std::deque<session_t*> handed;  // handed a gate: each asks once the current wake-up is done
  std::multimap<int64_t, session_t*> timers;  // by monotonic ns
  int epoll = -1;
  io_t io;
  int64_t period_ns = 0;     // 0: no period
  int64_t slot_ns = 0;       // period_ns / slots_per_period; 0: no grid
  bool forever = false;      // false: sessions are not rescheduled after their round
  size_t busy = 0;           // sessions in a round
  int64_t publish_ns = 0;    // when the rows walks changed are to be published; 0: none changed
  int64_t published_ns = 0;
  std::vector<figure_slot_t> figures;  // the agents' figures of the table its sessions read
  int64_t figures_ns = 0;              // when they are next written; 0: there are none
};

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

static void fail_round(snmp_engine_t* e, session_t* s);

// The round waits for its host's lookup or its TCP agent's connection, within the session's
// timeout, when one was started.
static void wait_for(snmp_engine_t* e, session_t* s, phase_t phase, bool started) {
  if (!started) {
    fail_round(e, s);
    return;
  }
  s->phase = phase;
  set_timer(e, s, monotonic_ns() + timeout_ns(s));
}

// Brings the session to open: its host's address, a TCP agent's connection (the library, which
// connects and waits, opens only an agent that took the engine's, made without blocking), the
// library's open. False when the round waits for one of them or has failed.
static bool reach(snmp_engine_t* e, session_t* s) {
  if (!take_host_address(s)) {
    wait_for(e, s, LOOKING_UP, await_host(e->resolver, s, monotonic_ns()));
    return false;
  }
  if (s->address.stream && !s->link.reached) {
    wait_for(e, s, CONNECTING, connect_link(e->epoll, s));
    return false;
  }
  if (!open_link(e->epoll, s)) {
    fail_round(e, s);
    return false;
  }
  return true;
}

// A session handed a gate asks once the wake-up that handed it is done, never from inside
// another session's handling.
static void hand_on(snmp_engine_t* e, session_t* next) {
  if (next)
    e->handed.push_back(next);
}

static void end_round(snmp_engine_t* e, session_t* s, bool failed);

// Every session reads the file in force: what reloads retired is freed.
static void let_go(snmp_engine_t* e) {
  e->retired.clear();
  e->retired_rows.clear();
}

static bool take_new_members(snmp_engine_t* e, session_t* s);

// Rows that walks changed are published at most once a publish_gap_ns.
static void rows_changed(snmp_engine_t* e) {
  if (!e->publish_ns)
    e->publish_ns = std::max(monotonic_ns(), e->published_ns + publish_gap_ns);
}

// Sends what the session may send of its round now, or ends the round when every member is read.
static void ask(snmp_engine_t* e, session_t* s) {
  if (!s->link.library && !reach(e, s))
    return;
  sent_t sent;
  while ((sent = send_next(&e->io, &e->gates, s)) == SENT) {
  }
  s->flight_most = std::max(s->flight_most, s->flight.size());
  if (sent == SEND_FAILED) {
    fail_round(e, s);
    return;
  }
  if (s->flight.empty()) {
    if (more_to_ask(s) || walks_going(s))
      s->phase = AT_GATE;  // asked again when the gate is handed on
    else
      end_round(e, s, false);
    return;
  }
  s->phase = ASKING;
  int64_t at = next_expiry(&e->io, s);
  if (at < 0)
    fail_round(e, s);
  else
    set_timer(e, s, at);
}

static void ask_handed(snmp_engine_t* e) {
  while (!e->handed.empty()) {
    session_t* s = e->handed.front();
    e->handed.pop_front();
    if (s->phase == AT_GATE)
      ask(e, s);
  }
}

// The first time at or after t on the grid of round starts.
static int64_t on_grid(const snmp_engine_t* e, int64_t t) {
  return e->slot_ns ? (t + e->slot_ns - 1) / e->slot_ns * e->slot_ns : t;
}

// began is when the round was due, so that paced rounds keep to their slot.
static void start_round(snmp_engine_t* e, session_t* s, int64_t began) {
  s->began_ns = began;
  s->first_sent_ns = 0;
  begin_batches(s);
  if (begin_walks(s, e->conf, monotonic_ms()))
    choose_path(s);
  e->busy++;
  if (s->address.host) {
    look_up(e->resolver, s->address.host, monotonic_ns());  // now and then, or after a round that failed
    if (s->link.library && host_moved(s))
      close_link(e->epoll, s);
  }
  ask(e, s);
}

// The least time from the start of one round to the start of the next. A session of walked
// columns without rows yet has a round a second, to walk them when they are due.
static int64_t pace_ns(const snmp_engine_t* e, const session_t* s) {
  if (e->period_ns > 0)
    return e->period_ns;
  return s->members.empty() ? 1000000000LL : 200000LL * (int64_t)s->members.size();
}

// The round that ends now in the agent's health: how long it took from its first request to its
// last answer (to now, when it failed), whether it was heard at all, and whether it ended after
// the next round was due (only a period sets when that is).
static void note_round(const snmp_engine_t* e, session_t* s, bool failed) {
  agent_health_t* a = s->health;
  int64_t now = monotonic_ns();
  if (s->first_sent_ns) {
    int64_t end = failed || s->heard_ns < s->first_sent_ns ? now : s->heard_ns;
    a->round_ms = (end - s->first_sent_ns) / 1000000;
  }
  if (s->heard_ns)
    a->answered_ms = std::max(a->answered_ms, s->heard_ns / 1000000);
  if (s->first_sent_ns || failed)  // a round with nothing to ask says nothing of its agent
    a->silent = s->heard_ns < (s->first_sent_ns ? s->first_sent_ns : s->began_ns);
  bool late = e->period_ns > 0 && now > s->began_ns + e->period_ns;
  a->late += late;
  a->late_now = late;
}

// A round that failed at once (no address, no open) is followed no sooner than one that waited
// its timeout, so that a session that cannot be reached never spins.
static void end_round(snmp_engine_t* e, session_t* s, bool failed) {
  clear_timer(e, s);
  note_round(e, s, failed);
  hand_on(e, leave_gate(s));
  s->phase = IDLE;
  e->busy--;
  end_batches(s, failed);
  if (end_walks(s, monotonic_ms()))
    rows_changed(e);
  choose_path(s);
  window_round_end(s, failed);
  if (take_new_members(e, s) && s->members.empty() && !has_walks(s))
    return;  // its line is no longer loaded
  if (!e->forever)
    return;
  int64_t at = s->began_ns + pace_ns(e, s);
  if (failed)
    at = std::max(at, s->began_ns + timeout_ns(s));
  set_timer(e, s, on_grid(e, std::max(monotonic_ns(), at)));
}

// A session that takes its new members when nothing is in flight; one left without any is
// closed. The files it read are let go once every session has taken its new members.
static bool take_new_members(snmp_engine_t* e, session_t* s) {
  if (!take_regroup(s))
    return false;
  choose_path(s);  // the wire's names are its old members'
  if (s->members.empty() && !has_walks(s)) {
    close_link(e->epoll, s);
    s->health->silent = s->health->late_now = false;  // no longer read, by this session at least
  }
  if (--e->regrouping == 0)
    let_go(e);
  return true;
}

// No answer, or none that can be trusted: every member not read yet gets snmpget's empty reply,
// the session is closed, so that its next round opens it anew and an agent that restarted or
// moved is followed, and its host, if any, is looked up again soon.
static void fail_round(snmp_engine_t* e, session_t* s) {
  fail_batches(s);
  drop_requests(s);
  if (s->phase == LOOKING_UP)
    stop_awaiting_host(s);
  end_connect(e->epoll, s);
  close_link(e->epoll, s);
  if (s->address.host)
    look_up_soon(s->address.host);
  end_round(e, s, true);
}

// After the session's answers were read or its timeouts looked at: the requests that ended are
// settled, the gate is handed on once nothing is in flight, and the window is filled again.
static void after_io(snmp_engine_t* e, session_t* s) {
  if (s->phase != ASKING)
    return;
  if (rows_came(s))
    rows_changed(e);
  if (!settle_requests(s, pace_ns(e, s))) {
    fail_round(e, s);
    return;
  }
  if (s->flight.empty())
    hand_on(e, leave_gate(s));
  ask(e, s);
}

static void connected(snmp_engine_t* e, session_t* s) {
  clear_timer(e, s);
  if (end_connect(e->epoll, s))
    ask(e, s);
  else
    fail_round(e, s);
}

// A read that failed with nothing in flight closes the session, as a broken stream would wake
// the loop without end.
static void wake(snmp_engine_t* e, session_t* s) {
  if (s->phase == CONNECTING) {
    connected(e, s);
    return;
  }
  if (!s->link.library)
    return;
  if (!read_answers(&e->io, s) && s->flight.empty())
    close_link(e->epoll, s);
  after_io(e, s);
}

// Takes every answered lookup; the sessions waiting for it go on.
static void take_lookups(snmp_engine_t* e) {
  std::vector<session_t*> waiting;
  while (take_lookup(e->resolver, &waiting))
    for (session_t* s : waiting) {
      clear_timer(e, s);
      ask(e, s);
    }
}

// A session's timer, due at due: what it meant goes by the session's phase.
static void time_out(snmp_engine_t* e, session_t* s, int64_t due, int64_t now) {
  switch (s->phase) {
    case IDLE:
      start_round(e, s, due);
      break;
    case LOOKING_UP:
    case CONNECTING:
      fail_round(e, s);
      break;
    case ASKING:
      expire_requests(&e->io, s, now);
      after_io(e, s);
      break;
    case AT_GATE:
      break;
  }
}

static void fire_timers(snmp_engine_t* e, int64_t now) {
  while (!e->timers.empty() && e->timers.begin()->first <= now) {
    int64_t due = e->timers.begin()->first;
    session_t* s = e->timers.begin()->second;
    clear_timer(e, s);
    time_out(e, s, due, now);
  }
}

static void take_reloaded(snmp_engine_t* e);
static void reply_unread(snmp_engine_t* e);

static void handle_ready(snmp_engine_t* e, const epoll_event* events, int n) {
  for (int i = 0; i < n; i++) {
    uint32_t index = (uint32_t)events[i].data.u64;
    if (index == resolver_tag) {
      take_lookups(e);
      continue;
    }
    if (index == reload_tag) {
      take_reloaded(e);
      continue;
    }
    session_t* s = e->sessions[index];
    if (current_socket(s, events[i].data.u64))
      wake(e, s);
  }
}

// Writes every agent's figure: the requests in flight, the most each of its sessions had since
// the last writing (a sample now would miss a far agent's, in flight between two samples), and
// the last answer, over the agent's sessions.
static void write_figures(snmp_engine_t* e, int64_t now) {
  for (session_t* s : e->sessions)
    s->health->in_flight = 0;
  for (session_t* s : e->sessions) {
    s->health->in_flight += (int32_t)std::max(s->flight_most, s->flight.size());
    s->flight_most = s->flight.size();
    if (s->heard_ns)
      s->health->answered_ms = std::max(s->health->answered_ms, s->heard_ns / 1000000);
  }
  int64_t now_ms = now / 1000000;
  for (const figure_slot_t& f : e->figures)
    write_figure(f.signal, f.figure, f.agent, now_ms);
}

static void figures_due(snmp_engine_t* e, int64_t now) {
  if (!e->figures_ns || now < e->figures_ns)
    return;
  write_figures(e, now);
  e->figures_ns = std::max(e->figures_ns + figures_gap_ns, now);
}

// Takes the agents' figures of table, written from the next wake-up on; none: no writing.
static void take_figures(snmp_engine_t* e, const std::vector<signal_t*>& table) {
  e->figures.clear();
  for (signal_t* s : table) {
    figure_t f = s->call_type == 4 ? figure_named(s->health) : NO_FIGURE;
    if (agent_figure(f))
      e->figures.push_back({s, f, agent_health(s->ip_addr)});
  }
  e->figures_ns = e->figures.empty() ? 0 : monotonic_ns();
}

static void publish_due(snmp_engine_t* e, int64_t now) {
  if (!e->publish_ns || now < e->publish_ns)
    return;
  publish_rows();
  e->publish_ns = 0;
  e->published_ns = now;
}

// The first of the timers and the table's publishing; -1: none.
static int64_t next_due(const snmp_engine_t* e) {
  int64_t first = e->timers.empty() ? -1 : e->timers.begin()->first;
  if (e->publish_ns && (first < 0 || e->publish_ns < first))
    first = e->publish_ns;
  if (e->forever && e->figures_ns && (first < 0 || e->figures_ns < first))
    first = e->figures_ns;
  return first;
}

// Every answer that has arrived is read before the timers fire: after the process was held up
// (a loaded machine, a stop), only the sessions still without an answer time out.
static void run(snmp_engine_t* e) {
  epoll_event events[64];
  for (ask_handed(e); e->forever || e->busy > 0; ask_handed(e)) {
    int n = wait_for_events(e->epoll, events, 64, next_due(e));
    for (; n > 0; n = n == 64 ? epoll_wait(e->epoll, events, 64, 0) : 0)
      handle_ready(e, events, n);
    int64_t now = monotonic_ns();
    fire_timers(e, now);
    publish_due(e, now);
    if (e->forever)
      figures_due(e, now);
  }
  if (e->publish_ns)
    publish_due(e, e->publish_ns);
}

// Starts the resolver when an address names a host; false when it cannot be started.
static bool start_resolver(snmp_engine_t* e) {
  if (e->hosts.empty())
    return true;
  e->resolver = resolver_new();
  return e->resolver && watch_fd(e->epoll, resolver_fd(e->resolver), EPOLLIN, resolver_tag);
}

// The overrides the loop goes by: the window, the period and its grid.
static void take_conf(snmp_engine_t* e, const snmp_conf_t* conf) {
  e->conf = conf;
  allow_descriptors(e->sessions.size());
  size_t window = conf && conf->snmp_window > 0 ? conf->snmp_window : default_window;
  for (session_t* s : e->sessions)
    window_limit(s, window);
  e->period_ns = conf && conf->poll_period > 0 ? conf->poll_period * 1000000LL : 0;
  e->slot_ns = e->period_ns / slots_per_period;  // whole: a period in ms is a multiple of 64 ns
}

snmp_engine_t* snmp_engine_new(const std::vector<signal_t*>& table, const snmp_conf_t* conf) {
  snmp_engine_t* e = new snmp_engine_t;
  make_sessions(table, conf, &e->sessions, &e->unread, &e->hosts);
  // sessions without members (refused options) stay in the list, never asked
  take_conf(e, conf);
  take_figures(e, table);
  e->epoll = epoll_create1(EPOLL_CLOEXEC);
  if (e->epoll < 0 || !start_resolver(e))
    return NULL;  // what it made lives on unused, as an engine would
  io_init(&e->io);
  return e;
}

snmp_engine_t* snmp_engine_start() {
  std::shared_ptr<const loaded_t> loaded = table_now()->loaded;
  snmp_engine_t* e = snmp_engine_new(loaded->signals, &loaded->conf);
  if (!e)
    return NULL;
  e->loaded = loaded;
  e->reload_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (e->reload_fd < 0 || !watch_fd(e->epoll, e->reload_fd, EPOLLIN, reload_tag))
    return NULL;
  return e;
}

void snmp_engine_reloaded(snmp_engine_t* e) {
  uint64_t one = 1;
  ssize_t n = write(e->reload_fd, &one, sizeof one);  // fails only on a full count, which wakes it too
  (void)n;
}

// Sessions that can start a round and have no timer start at the grid's next slot.
static void start_idle(snmp_engine_t* e) {
  int64_t at = on_grid(e, monotonic_ns());
  for (session_t* s : e->sessions)
    if (s->phase == IDLE && !s->timed && (!s->members.empty() || has_walks(s)))
      set_timer(e, s, at);
}

// The loaded file in force becomes the one its sessions read: the thread's columns taken,
// sessions regrouped, the overrides applied; an idle session takes its new members at once.
static void take_reloaded(snmp_engine_t* e) {
  uint64_t count;
  ssize_t n = read(e->reload_fd, &count, sizeof count);  // however many: the version in force tells
  (void)n;
  std::shared_ptr<const loaded_t> now = table_now()->loaded;
  if (now == e->loaded)
    return;
  std::vector<std::shared_ptr<signal_t>> rows = take_reload(*now, *e->loaded);
  e->retired_rows.insert(e->retired_rows.end(), rows.begin(), rows.end());
  e->retired.push_back(e->loaded);
  e->loaded = now;
  size_t running = e->sessions.size();
  e->unread.clear();
  regroup_sessions(now->signals, &now->conf, &e->sessions, &e->unread, &e->hosts);
  take_conf(e, &now->conf);
  take_figures(e, now->signals);
  if (!e->resolver)
    start_resolver(e);  // without it, a new host's rounds fail at once, as with no address
  e->regrouping = running;  // every running session, whether or not it had taken the last
  for (size_t i = 0; i < running; i++)
    if (e->sessions[i]->phase == IDLE)
      take_new_members(e, e->sessions[i]);
  if (e->regrouping == 0)
    let_go(e);  // no session was running
  reply_unread(e);
  start_idle(e);
}

bool snmp_engine_empty(const snmp_engine_t* e) {
  if (!e->unread.empty())
    return false;
  for (const session_t* s : e->sessions)
    if (!s->members.empty() || has_walks(s))
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
  int64_t now = monotonic_ns();
  for (session_t* s : e->sessions)
    if ((!s->members.empty() || has_walks(s)) && s->phase == IDLE)
      start_round(e, s, now);
  run(e);
}

// With a period, first rounds are spread over it, so that the agents' load comes evenly.
void* get_snmp_data(void* engine) {
  snmp_engine_t* e = (snmp_engine_t*)engine;
  e->forever = true;
  reply_unread(e);
  int64_t now = monotonic_ns();
  size_t n = e->sessions.size();
  for (size_t i = 0; i < n; i++)
    if (!e->sessions[i]->members.empty() || has_walks(e->sessions[i]))
      set_timer(e, e->sessions[i], on_grid(e, now + (int64_t)(e->period_ns * i / n)));
  run(e);
  return NULL;
}
