// The built-in SNMP engine: each signal's snmpget words go through the library's own option
// parser once, signals that differ only in their object share one session, and a value is
// printed as snmpget -Oqv prints it. One thread runs every session's requests at once, with one
// wait over all their sockets and the round and retry timers in the same loop. That thread is
// the only writer of its signals' readings (through res_parse); nothing else is shared.
#include "snmpengine.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
#include <openssl/crypto.h>

#include <deque>
#include <exception>
#include <map>
#include <set>
#include <string>

#include "app.h"
#include "parser.h"
#include "snmpcmd.h"

struct snmp_engine_t;

// One signal of a session: where the reading goes and the object it names.
struct member_t {
  signal_t* signal;
  std::vector<oid> name;
  // The MIB node that decodes its values, and whether printing the value alone by it gives what
  // the library's print of the whole variable gives: 0 not known yet, 1 yes, -1 no.
  struct tree* node = NULL;
  int by_node = 0;
};

// What the answer to a session's request in flight asks for next.
enum outcome_t { NO_ANSWER, GO_ON, FAILED };

struct gate_t;

// Options and agent address parsed once, the signals read through them, and the round under way.
struct session_t {
  snmp_engine_t* engine = NULL;
  uint32_t index = 0;              // in engine->sessions
  std::vector<std::string> words;  // "snmpget" and the options; settings points into them
  std::vector<char*> argv;
  netsnmp_session settings;
  bool usable = false;  // false: snmpget refuses these options, so it never prints anything
  std::vector<std::string> objects;  // words left after the agent address
  std::vector<member_t> members;     // in table order
  size_t per_get = max_objects_per_get;

  void* open = NULL;  // null until opened, and again after a round that failed
  int fd = -1;
  uint32_t opened = 0;  // counts opens, so that a wake-up for an earlier socket is ignored
  // v3: the library keeps one user entry per agent engine and user name, with that user's
  // keys; this session's own entry, made from its own pass phrases, goes in before each GET.
  struct usmUser* user = NULL;
  gate_t* gate = NULL;  // held from a v3 GET's send until its answer

  bool in_round = false;
  int64_t began_ns = 0;
  size_t next = 0;                // members[next..] are not asked yet in this round
  std::vector<uint32_t> asked;    // the members of the GET in flight, or of the next one
  std::vector<uint32_t> backlog;  // members to ask before members[next..], split off a tooBig
  bool probing = false;           // the request in flight asks a v3 agent for its engine ID
  bool waiting = false;           // a request is in flight
  int reqid = 0;
  outcome_t outcome = NO_ANSWER;
  bool timed = false;  // timer holds this session's next round start or retry check
  std::multimap<int64_t, session_t*>::iterator timer;
};

// v3 sessions that share an agent engine and a user name: one GET of theirs in flight at a
// time, so that the user entry in the list is the one of the session whose answer is awaited.
struct gate_t {
  session_t* holder = NULL;
  std::deque<session_t*> queue;  // in the order they came
};

// The library's boolean and integer settings (output format and the like).
struct settings_t {
  int booleans[NETSNMP_DS_MAX_SUBIDS];
  int integers[NETSNMP_DS_MAX_SUBIDS];
};

struct snmp_engine_t {
  std::vector<session_t*> sessions;
  std::vector<signal_t*> unread;  // signals snmpget never prints anything for
  std::map<std::pair<std::string, std::string>, gate_t> gates;  // by engine ID and user name
  std::multimap<int64_t, session_t*> timers;                    // by monotonic ns
  int epoll = -1;
  netsnmp_large_fd_set fds;  // one socket at a time, for the library's read
  int64_t period_ns = 0;     // 0: no period
  bool forever = false;      // false: sessions are not rescheduled after their round
  size_t busy = 0;           // sessions in a round
  u_char* text = NULL;       // print buffer, grown by the library
  size_t text_size = 0;
};

// The v3 user entries sessions own, of every engine: any other entry of the same agent and user
// name is freed when a session puts its own in.
static std::set<struct usmUser*>& owned_users() {
  static std::set<struct usmUser*>& owned = *new std::set<struct usmUser*>;
  return owned;
}

static int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The option parser writes some refusals ("Invalid timeout ...", "No community name ...")
// straight to stderr whatever its flags say; while it runs, stderr goes to /dev/null.
static int silence_stderr() {
  fflush(stderr);
  int saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, 2);
    close(null);
  }
  return saved;
}

static void restore_stderr(int saved) {
  if (saved < 0)
    return;
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
}

// snmpget's own -C options; none of them changes a GET of the objects of one line.
static void app_option(int, char* const*, int) {}

static void save_settings(settings_t* to) {
  for (int i = 0; i < NETSNMP_DS_MAX_SUBIDS; i++) {
    to->booleans[i] = netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, i);
    to->integers[i] = netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, i);
  }
}

static void load_settings(const settings_t& from) {
  for (int i = 0; i < NETSNMP_DS_MAX_SUBIDS; i++) {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, i, from.booleans[i]);
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, i, from.integers[i]);
  }
}

static int parse(int argc, char** argv, netsnmp_session* session) {
  optind = 0;  // a fresh scan for getopt, which kept its place from the last parse
  return netsnmp_parse_args(argc, argv, session, "C:", app_option,
                            NETSNMP_PARSE_ARGS_NOLOGGING | NETSNMP_PARSE_ARGS_NOZERO);
}

// The library's settings as a fresh snmpget has them after reading its options: every line
// carries the same -O word, and the first parse also reads the configuration files. Options
// such as -O toggle a setting, so every later parse is undone back to these. The library
// logs nowhere: standard output and error hold the operator's table.
static const settings_t& parsed_settings() {
  static settings_t settled = [] {
    // The process exit must not free OpenSSL's state while the engine may still be inside
    // a request: the workers run on until the process has ended.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, NULL);
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
    std::string line = snmp_v1_2c_cmd;
    size_t at = line.find(" -O");
    std::string output = line.substr(at + 1, line.find(' ', at + 1) - at - 1);
    std::vector<std::string> words = {"snmpget", output, "-v", "1", "-c", "x", "localhost"};
    std::vector<char*> argv;
    for (std::string& w : words)
      argv.push_back(&w[0]);
    static netsnmp_session unused;  // holds what the parser allocated for it, until exit
    parse((int)argv.size(), argv.data(), &unused);
    settings_t s;
    save_settings(&s);
    return s;
  }();
  return settled;
}

// Parses "snmpget" plus words as snmpget would.
static session_t* parse_session(const std::vector<std::string>& words) {
  session_t* s = new session_t;
  s->words.push_back("snmpget");
  s->words.insert(s->words.end(), words.begin(), words.end());
  for (std::string& w : s->words)
    s->argv.push_back(&w[0]);
  s->argv.push_back(NULL);
  const settings_t& settled = parsed_settings();  // made before the first line is parsed
  int first = parse((int)s->words.size(), s->argv.data(), &s->settings);
  load_settings(settled);
  s->usable = first > 0;
  for (int i = first; s->usable && i < (int)s->words.size(); i++)
    s->objects.push_back(s->argv[i]);
  // the engine ID of a v3 agent is asked for by a request of ours, which waits for nobody
  s->settings.flags |= SNMP_FLAGS_DONT_PROBE;
  return s;
}

typedef std::map<std::vector<std::string>, session_t*> by_words_t;

// Adds the signal of args to its session. Signals that differ only in their last word (the
// object) share a session, unless that word could be taken for an option. False when snmpget
// would print nothing for it, whatever the agent.
static bool add_member(snmp_engine_t* e, by_words_t* by_words, signal_t* signal,
                       const std::vector<std::string>& args) {
  if (args.empty())
    return false;  // a line too long to run
  std::vector<std::string> key = args;
  bool last_is_object = args.back()[0] != '-';
  if (last_is_object)
    key.pop_back();
  session_t*& session = (*by_words)[key];
  if (!session) {
    session = parse_session(key);
    session->engine = e;
    session->index = (uint32_t)e->sessions.size();
    e->sessions.push_back(session);
  }
  if (!session->usable)
    return false;
  std::vector<std::string> objects = session->objects;
  if (last_is_object)
    objects.push_back(args.back());
  if (objects.size() != 1)
    return false;  // snmpget: "Missing object name"; one oid never makes two objects
  oid name[MAX_OID_LEN];
  size_t length = MAX_OID_LEN;
  if (!snmp_parse_oid(objects[0].c_str(), name, &length))
    return false;
  session->members.push_back({signal, std::vector<oid>(name, name + length)});
  return true;
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

snmp_engine_t* snmp_engine_new(const std::vector<signal_t*>& table, const snmp_conf_t* conf) {
  snmp_engine_t* e = new snmp_engine_t;
  by_words_t by_words;
  int saved = silence_stderr();
  for (signal_t* s : table)
    if (s->call_type >= 0 && s->call_type <= 2 && !add_member(e, &by_words, s, snmp_args(s, conf)))
      e->unread.push_back(s);
  restore_stderr(saved);
  // sessions without members (refused options) stay in the list, never asked
  allow_descriptors(e->sessions.size());
  e->epoll = epoll_create1(EPOLL_CLOEXEC);
  if (e->epoll < 0)
    return NULL;  // what it made lives on unused, as an engine would
  netsnmp_large_fd_set_init(&e->fds, FD_SETSIZE);
  e->text_size = 256;
  e->text = (u_char*)calloc(e->text_size, 1);
  e->period_ns = conf && conf->poll_period > 0 ? conf->poll_period * 1000000LL : 0;
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

// Prints v's value as the library prints the whole variable under -Ov, which finds m's MIB node
// by printing the name first, only to drop it: most of the work, the same for every value.
static int print_by_node(snmp_engine_t* e, const member_t& m, const netsnmp_variable_list* v,
                         size_t* length) {
  const struct tree* t = m.node;
  if (!t)
    return sprint_realloc_by_type(&e->text, &e->text_size, length, 1, v, NULL, NULL, NULL);
  const char* units =
      netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PRINT_UNITS) ? NULL : t->units;
  const char* hint =
      netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_NO_DISPLAY_HINT) ? NULL : t->hint;
  if (t->printomat)
    return t->printomat(&e->text, &e->text_size, length, 1, v, t->enums, hint, units);
  return sprint_realloc_by_type(&e->text, &e->text_size, length, 1, v, t->enums, hint, units);
}

static bool exception(const netsnmp_variable_list* v) {
  return v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE || v->type == SNMP_ENDOFMIBVIEW;
}

// The text of e's print buffer: up to its first NUL, as snmpget's "%s" prints it.
static std::string printed(const snmp_engine_t* e, size_t length) {
  if (!e->text || length >= e->text_size)
    return std::string();
  return std::string((const char*)e->text, strnlen((const char*)e->text, length));
}

// What snmpget prints for v, m's varbind: the variable under the current output options, up to
// its first NUL, and a line end. The value alone is printed by m's node once that has printed the
// same as the library's whole print of a value; exceptions always take the library's print.
static std::string value_text(snmp_engine_t* e, member_t* m, const netsnmp_variable_list* v) {
  size_t length = 0;
  if (m->by_node == 1 && !exception(v)) {
    int whole = print_by_node(e, *m, v, &length);
    return printed(e, length) + (whole ? "\n" : " [TRUNCATED]\n");
  }
  int whole = sprint_realloc_variable(&e->text, &e->text_size, &length, 1, v->name, v->name_length, v);
  std::string text = printed(e, length) + (whole ? "\n" : " [TRUNCATED]\n");
  if (m->by_node == 0 && !exception(v) && whole) {
    m->node = get_tree(m->name.data(), m->name.size(), get_tree_head());
    length = 0;
    m->by_node = print_by_node(e, *m, v, &length) && printed(e, length) + "\n" == text ? 1 : -1;
  }
  return text;
}

static void give(signal_t* signal, const std::string& text) {
  try {
    res_parse(signal, text);
  } catch (const std::exception&) {
    // no memory for this reading: it stays as it was
  }
}

// Gives m's reading what snmpget prints for v, or "" for no v.
static void reply(snmp_engine_t* e, member_t* m, const netsnmp_variable_list* v) {
  give(m->signal, v ? value_text(e, m, v) : std::string());
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

static netsnmp_session* live(const session_t* s) {
  return snmp_sess_session(s->open);
}

static bool is_v3(const session_t* s) {
  return live(s)->version == SNMP_VERSION_3 && live(s)->securityName;
}

// Opens the session when it is not open; false when it cannot be opened now (an unknown host).
// The socket is not handed to commands.
static bool open_session(snmp_engine_t* e, session_t* s) {
  if (s->open)
    return true;
  s->open = snmp_sess_open(&s->settings);
  if (!s->open)
    return false;
  live(s)->flags |= SNMP_FLAGS_DONT_PROBE;  // the open copy does not keep it
  netsnmp_transport* t = snmp_sess_transport(s->open);
  s->fd = t ? t->sock : -1;
  if (s->fd >= 0)
    fcntl(s->fd, F_SETFD, FD_CLOEXEC);
  s->opened++;
  epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.u64 = (uint64_t)s->opened << 32 | s->index;
  if (s->fd < 0 || epoll_ctl(e->epoll, EPOLL_CTL_ADD, s->fd, &ev) != 0) {
    snmp_sess_close(s->open);
    s->open = NULL;
    return false;
  }
  return true;
}

static void drop_user(session_t* s) {
  if (!s->user)
    return;
  usm_remove_user(s->user);  // a no-op when another session's entry took its place
  owned_users().erase(s->user);
  usm_free_user(s->user);
  s->user = NULL;
}

// A session that got no answer is closed, so that its next round opens it anew and an agent
// that restarted (new engine boots or engine ID) is followed.
static void close_session(snmp_engine_t* e, session_t* s) {
  if (!s->open)
    return;
  epoll_ctl(e->epoll, EPOLL_CTL_DEL, s->fd, NULL);
  snmp_sess_close(s->open);
  s->open = NULL;
  s->fd = -1;
  drop_user(s);
}

// Makes the session's own entry the one of its agent engine and user name in the list; the
// library makes that entry from the session's own keys the first time. The gate keeps every
// other session of the engine and name from awaiting an answer meanwhile.
static void own_user_entry(session_t* s) {
  netsnmp_session* l = live(s);
  struct usmUser* u;
  while ((u = usm_get_user(l->securityEngineID, l->securityEngineIDLen, l->securityName)) &&
         u != s->user) {
    usm_remove_user(u);
    if (!owned_users().count(u))
      usm_free_user(u);  // one the configuration files made
  }
  if (u)
    return;
  if (s->user) {
    usm_add_user(s->user);
    return;
  }
  create_user_from_session(l);
  s->user = usm_get_user(l->securityEngineID, l->securityEngineIDLen, l->securityName);
  if (s->user)
    owned_users().insert(s->user);
}

static bool enter_gate(snmp_engine_t* e, session_t* s) {
  netsnmp_session* l = live(s);
  gate_t& g = e->gates[{std::string((const char*)l->securityEngineID, l->securityEngineIDLen),
                        l->securityName}];
  if (g.holder && g.holder != s) {
    g.queue.push_back(s);
    return false;
  }
  g.holder = s;
  s->gate = &g;
  return true;
}

static void ask(snmp_engine_t* e, session_t* s);

// Hands the gate to the first session waiting for it that takes it.
static void leave_gate(snmp_engine_t* e, session_t* s) {
  gate_t* g = s->gate;
  if (!g)
    return;
  s->gate = NULL;
  g->holder = NULL;
  while (!g->holder && !g->queue.empty()) {
    session_t* w = g->queue.front();
    g->queue.pop_front();
    ask(e, w);
  }
}

static bool final_op(int op) {
  return op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || op == NETSNMP_CALLBACK_OP_TIMED_OUT ||
         op == NETSNMP_CALLBACK_OP_SEND_FAILED || op == NETSNMP_CALLBACK_OP_DISCONNECT;
}

// A v3 agent's report to our probe names its engine ID, which the session's requests carry.
static outcome_t learn_engine_id(session_t* s, const netsnmp_pdu* pdu) {
  netsnmp_session* l = live(s);
  if (!pdu->securityEngineIDLen || pdu->securityEngineIDLen > SNMP_MAX_ENG_SIZE)
    return FAILED;
  SNMP_FREE(l->securityEngineID);
  l->securityEngineID = (u_char*)netsnmp_memdup(pdu->securityEngineID, pdu->securityEngineIDLen);
  l->securityEngineIDLen = pdu->securityEngineIDLen;
  if (!l->contextEngineIDLen) {
    l->contextEngineID = (u_char*)netsnmp_memdup(pdu->securityEngineID, pdu->securityEngineIDLen);
    l->contextEngineIDLen = pdu->securityEngineIDLen;
  }
  return l->securityEngineID ? GO_ON : FAILED;
}

static bool names(const netsnmp_variable_list* v, const member_t& m) {
  return snmp_oid_compare(v->name, v->name_length, m.name.data(), m.name.size()) == 0;
}

// Each member asked gets the varbind that names its object, at its place when the agent kept
// the order; a member whose object no varbind names gets an empty reply.
static void reply_each(snmp_engine_t* e, session_t* s, const netsnmp_pdu* pdu) {
  const netsnmp_variable_list* v = pdu->variables;
  for (uint32_t k : s->asked) {
    member_t& m = s->members[k];
    const netsnmp_variable_list* found = v && names(v, m) ? v : NULL;
    for (const netsnmp_variable_list* w = pdu->variables; !found && w; w = w->next_variable)
      if (names(w, m))
        found = w;
    reply(e, &m, found);
    if (v)
      v = v->next_variable;
  }
  s->asked.clear();
}

// tooBig: the GET goes again in halves, and the session asks for no more at once from then on;
// a single object too big for the agent gets snmpget's empty reply.
static void split(snmp_engine_t* e, session_t* s) {
  if (s->asked.size() == 1) {
    reply(e, &s->members[s->asked[0]], NULL);
    s->asked.clear();
    return;
  }
  s->per_get = std::min(s->per_get, s->asked.size() / 2);
  s->backlog.insert(s->backlog.begin(), s->asked.begin() + s->per_get, s->asked.end());
  s->asked.resize(s->per_get);
}

// An answer with an error status: as snmpget does, the object at its index gets an empty reply
// and the GET goes again without it; without a usable index, every object of it does.
static void drop_failed(snmp_engine_t* e, session_t* s, long index) {
  if (index < 1 || index > (long)s->asked.size()) {
    for (uint32_t k : s->asked)
      reply(e, &s->members[k], NULL);
    s->asked.clear();
    return;
  }
  reply(e, &s->members[s->asked[index - 1]], NULL);
  s->asked.erase(s->asked.begin() + (index - 1));
}

static outcome_t take_answer(snmp_engine_t* e, session_t* s, const netsnmp_pdu* pdu) {
  if (s->probing) {
    s->probing = false;
    return learn_engine_id(s, pdu);
  }
  if (pdu->command != SNMP_MSG_RESPONSE)
    return FAILED;  // a report: unknown user, wrong digest and the like
  if (pdu->errstat == SNMP_ERR_NOERROR)
    reply_each(e, s, pdu);
  else if (pdu->errstat == SNMP_ERR_TOOBIG)
    split(e, s);
  else
    drop_failed(e, s, pdu->errindex);
  return GO_ON;
}

// The library's callback: the answer is taken at once, what follows it once the library has
// returned (a session is not closed or sent to from inside its own read).
static int on_answer(int op, netsnmp_session*, int reqid, netsnmp_pdu* pdu, void* magic) {
  session_t* s = (session_t*)magic;
  // a report to a request the agent could not decrypt carries request ID 0
  if (!s->waiting || !final_op(op) || (reqid != 0 && reqid != s->reqid))
    return 1;
  s->waiting = false;
  s->outcome = op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu ? take_answer(s->engine, s, pdu)
                                                                 : FAILED;
  return 1;
}

// Sets the timer to the library's next retry or give-up for the request in flight; false
// when the library holds no request for it.
static bool arm_retry(snmp_engine_t* e, session_t* s) {
  int fds = 0, block = 0;
  timeval left = {86400, 0};  // the library only shortens it
  snmp_sess_select_info2_flags(s->open, &fds, &e->fds, &left, &block, NETSNMP_SELECT_NOALARMS);
  NETSNMP_LARGE_FD_ZERO(&e->fds);
  if (block)
    return false;
  set_timer(e, s, now_ns() + left.tv_sec * 1000000000LL + left.tv_usec * 1000LL);
  return true;
}

static void end_round(snmp_engine_t* e, session_t* s);
static void fail_round(snmp_engine_t* e, session_t* s);

static void send_request(snmp_engine_t* e, session_t* s, netsnmp_pdu* pdu) {
  int reqid = snmp_sess_async_send(s->open, pdu, on_answer, s);
  if (!reqid) {
    snmp_free_pdu(pdu);
    fail_round(e, s);
    return;
  }
  s->reqid = reqid;
  s->waiting = true;
  s->outcome = NO_ANSWER;
  if (!arm_retry(e, s))
    fail_round(e, s);
}

// What the library's own probe sends: an unauthenticated GET that a v3 agent answers with a
// report naming its engine ID.
static netsnmp_pdu* probe_pdu() {
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
  pdu->version = SNMP_VERSION_3;
  pdu->securityName = strdup("");
  pdu->securityNameLen = 0;
  pdu->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
  pdu->securityModel = SNMP_SEC_MODEL_USM;
  return pdu;
}

static void take_next(session_t* s) {
  size_t k = std::min(s->per_get, s->backlog.size());
  s->asked.assign(s->backlog.begin(), s->backlog.begin() + k);
  s->backlog.erase(s->backlog.begin(), s->backlog.begin() + k);
  while (s->asked.size() < s->per_get && s->next < s->members.size())
    s->asked.push_back((uint32_t)s->next++);
}

// Sends the session's next request of the round, or ends the round when every member is read.
static void ask(snmp_engine_t* e, session_t* s) {
  if (!open_session(e, s)) {
    fail_round(e, s);
    return;
  }
  if (live(s)->version == SNMP_VERSION_3 && !live(s)->securityEngineIDLen) {
    s->probing = true;
    send_request(e, s, probe_pdu());
    return;
  }
  if (s->asked.empty())
    take_next(s);
  if (s->asked.empty()) {
    end_round(e, s);
    return;
  }
  if (is_v3(s)) {
    if (!enter_gate(e, s))
      return;  // asked when the gate is handed over
    own_user_entry(s);
  }
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
  for (uint32_t k : s->asked)
    snmp_add_null_var(pdu, s->members[k].name.data(), s->members[k].name.size());
  send_request(e, s, pdu);
}

static void start_round(snmp_engine_t* e, session_t* s, int64_t now) {
  s->in_round = true;
  s->began_ns = now;
  s->next = 0;
  e->busy++;
  ask(e, s);
}

// The least time from the start of one round to the start of the next.
static int64_t pace_ns(const snmp_engine_t* e, const session_t* s) {
  return e->period_ns > 0 ? e->period_ns : 200000LL * (int64_t)s->members.size();
}

static void end_round(snmp_engine_t* e, session_t* s) {
  clear_timer(e, s);
  s->in_round = false;
  e->busy--;
  if (e->forever)
    set_timer(e, s, std::max(now_ns(), s->began_ns + pace_ns(e, s)));
}

// No answer, or none that can be trusted: every member not read yet gets snmpget's empty reply,
// and the session is closed.
static void fail_round(snmp_engine_t* e, session_t* s) {
  for (uint32_t k : s->asked)
    reply(e, &s->members[k], NULL);
  for (uint32_t k : s->backlog)
    reply(e, &s->members[k], NULL);
  for (; s->next < s->members.size(); s->next++)
    reply(e, &s->members[s->next], NULL);
  s->asked.clear();
  s->backlog.clear();
  s->probing = false;
  s->waiting = false;
  close_session(e, s);
  leave_gate(e, s);
  end_round(e, s);
}

// After the library has read for the session or looked at its timeouts.
static void after_io(snmp_engine_t* e, session_t* s) {
  if (s->waiting) {
    if (!arm_retry(e, s))
      fail_round(e, s);  // the library gave the request up without telling
    return;
  }
  outcome_t outcome = s->outcome;
  s->outcome = NO_ANSWER;
  if (outcome == GO_ON) {
    leave_gate(e, s);
    ask(e, s);
  } else if (outcome == FAILED) {
    fail_round(e, s);
  }
}

static void read_session(snmp_engine_t* e, session_t* s) {
  NETSNMP_LARGE_FD_SET(s->fd, &e->fds);
  int rc = snmp_sess_read2(s->open, &e->fds);
  NETSNMP_LARGE_FD_ZERO(&e->fds);
  if (rc != 0 && s->waiting) {
    s->waiting = false;
    s->outcome = FAILED;
  } else if (rc != 0 && s->outcome == NO_ANSWER) {
    close_session(e, s);  // a broken stream would wake the loop without end
  }
  after_io(e, s);
}

static void fire_timers(snmp_engine_t* e, int64_t now) {
  while (!e->timers.empty() && e->timers.begin()->first <= now) {
    session_t* s = e->timers.begin()->second;
    clear_timer(e, s);
    if (s->waiting) {
      snmp_sess_timeout(s->open);  // retries, or gives up through on_answer
      after_io(e, s);
    } else if (!s->in_round) {
      start_round(e, s, now);
    }
  }
}

// Waits for a socket or until the first timer; returns the number of ready sockets.
static int wait_events(snmp_engine_t* e, epoll_event* events, int size) {
  if (e->timers.empty())
    return epoll_wait(e->epoll, events, size, -1);
  int64_t left = std::max<int64_t>(0, e->timers.begin()->first - now_ns());
  timespec t = {(time_t)(left / 1000000000), (long)(left % 1000000000)};
  int n = epoll_pwait2(e->epoll, events, size, &t, NULL);
  if (n < 0 && errno == ENOSYS)  // kernels before 5.11: whole milliseconds
    n = epoll_wait(e->epoll, events, size, (int)((left + 999999) / 1000000));
  return n;
}

static void read_ready(snmp_engine_t* e, const epoll_event* events, int n) {
  for (int i = 0; i < n; i++) {
    session_t* s = e->sessions[(uint32_t)events[i].data.u64];
    if (s->open && s->opened == (uint32_t)(events[i].data.u64 >> 32))
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
      read_ready(e, events, n);
    fire_timers(e, now_ns());
  }
}

static void reply_unread(snmp_engine_t* e) {
  for (signal_t* s : e->unread)
    give(s, "");
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
      set_timer(e, e->sessions[i], now + (int64_t)(e->period_ns * i / n));
  run(e);
  return NULL;
}
