// The built-in SNMP engine: each signal's snmpget words go through the library's own option
// parser once, signals that differ only in their object share one open session, and a value
// is printed as snmpget -Oqv prints it. Only the poller thread uses it; nothing is shared.
#include "snmpengine.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <openssl/crypto.h>

#include <map>
#include <set>
#include <unordered_map>
#include <vector>

#include "app.h"
#include "snmpcmd.h"

// Options and agent address parsed once; the session opened from them lives until exit.
struct session_t {
  std::vector<std::string> words;  // "snmpget" and the options; settings points into them
  std::vector<char*> argv;
  netsnmp_session settings;
  bool usable = false;  // false: snmpget refuses these options, so it never prints anything
  std::vector<std::string> objects;  // words left after the agent address
  void* open = NULL;    // null until opened, and again after a failed request
  // v3: the library keeps one user entry per agent and user name, with that user's keys; this
  // session's own entry, made from its own pass phrases, goes back in before each request.
  struct usmUser* user = NULL;
};

// What one signal reads, resolved at its first reading.
struct target_t {
  session_t* session = NULL;  // null: snmpget never prints anything for this signal
  std::vector<oid> name;
};

// The library's boolean and integer settings (output format and the like).
struct settings_t {
  int booleans[NETSNMP_DS_MAX_SUBIDS];
  int integers[NETSNMP_DS_MAX_SUBIDS];
};

struct snmp_engine_t {
  std::map<std::vector<std::string>, session_t*> sessions;
  std::unordered_map<const signal_t*, target_t> targets;
  std::set<struct usmUser*> users;  // the v3 user entries that sessions own
};

snmp_engine_t* snmp_engine_new() {
  return new snmp_engine_t;
}

// The option parser writes some refusals ("Invalid timeout ...", "No community name ...")
// straight to stderr whatever its flags say; while it runs, stderr goes to /dev/null. No
// other thread writes to stderr once the workers run.
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

// snmpget's own -C options; none of them changes a single GET of one object.
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
    // The process exit must not free OpenSSL's state while the poller may still be inside
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
  return s;
}

// The session of args and the object it reads. Signals that differ only in their last word
// (the object) share a session, unless that word could be taken for an option.
static target_t resolve(snmp_engine_t* e, const std::vector<std::string>& args) {
  target_t t;
  if (args.empty())
    return t;  // a line too long to run
  std::vector<std::string> key = args;
  bool last_is_object = args.back()[0] != '-';
  if (last_is_object)
    key.pop_back();
  session_t*& session = e->sessions[key];
  if (!session)
    session = parse_session(key);
  if (!session->usable)
    return t;
  std::vector<std::string> objects = session->objects;
  if (last_is_object)
    objects.push_back(args.back());
  if (objects.size() != 1)
    return t;  // snmpget: "Missing object name"; one oid never makes two objects
  oid name[MAX_OID_LEN];
  size_t length = MAX_OID_LEN;
  if (!snmp_parse_oid(objects[0].c_str(), name, &length))
    return t;
  t.session = session;
  t.name.assign(name, name + length);
  return t;
}

static bool is_v3(const session_t* s) {
  return s->settings.version == SNMP_VERSION_3 && s->settings.securityName;
}

// Takes every user entry named name out of the library's list. A session's own entry stays
// that session's; any other (one the configuration files made) is freed.
static void take_out_users(snmp_engine_t* e, const char* name) {
  struct usmUser* u = usm_get_userList();
  while (u) {
    struct usmUser* next = u->next;
    if (u->name && strcmp(u->name, name) == 0) {
      usm_remove_user(u);
      if (!e->users.count(u))
        usm_free_user(u);
    }
    u = next;
  }
}

static struct usmUser* find_user(const char* name) {
  for (struct usmUser* u = usm_get_userList(); u; u = u->next)
    if (u->name && strcmp(u->name, name) == 0)
      return u;
  return NULL;
}

// Makes the session's own entry the only one of its user name in the list. The library makes
// that entry, from the session's own keys, at the first request of a v3 session; until then
// no other entry of the name may be there for it to take instead.
static void put_back_user(snmp_engine_t* e, const session_t* s) {
  if (s->user && find_user(s->settings.securityName) == s->user)
    return;  // there is never more than one entry of a name: put back alone, or made alone
  take_out_users(e, s->settings.securityName);
  if (s->user)
    usm_add_user(s->user);
}

static void keep_user(snmp_engine_t* e, session_t* s) {
  if (!s->user && (s->user = find_user(s->settings.securityName)))
    e->users.insert(s->user);
}

// Opens the session when it is not open; false when it cannot be opened now (an unknown host,
// a v3 agent that does not answer its engine probe). The socket is not handed to commands.
static bool open_session(session_t* s) {
  if (s->open)
    return true;
  s->open = snmp_sess_open(&s->settings);
  if (!s->open)
    return false;
  netsnmp_transport* t = snmp_sess_transport(s->open);
  if (t && t->sock >= 0)
    fcntl(t->sock, F_SETFD, FD_CLOEXEC);
  return true;
}

static void close_session(snmp_engine_t* e, session_t* s) {
  snmp_sess_close(s->open);
  s->open = NULL;
  if (!s->user)
    return;
  take_out_users(e, s->settings.securityName);
  e->users.erase(s->user);
  usm_free_user(s->user);
  s->user = NULL;
}

// Each value as snmpget prints it: the variable under the current output options, up to its
// first NUL, and a line end.
static std::string print_values(const netsnmp_pdu* response) {
  std::string out;
  for (netsnmp_variable_list* v = response->variables; v; v = v->next_variable) {
    size_t size = 256, length = 0;
    u_char* buf = (u_char*)calloc(size, 1);
    if (!buf)
      break;
    int whole = sprint_realloc_variable(&buf, &size, &length, 1, v->name, v->name_length, v);
    out += (const char*)buf;
    out += whole ? "\n" : " [TRUNCATED]\n";
    free(buf);
  }
  return out;
}

// One GET of target's object. A request that gets no answer closes the session, so that the
// next reading opens it anew and an agent that restarted (new engine boots or engine ID) is
// followed.
static std::string request(snmp_engine_t* e, const target_t& t) {
  session_t* s = t.session;
  if (!open_session(s))
    return "";
  if (is_v3(s))
    put_back_user(e, s);
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(pdu, t.name.data(), t.name.size());
  netsnmp_pdu* response = NULL;
  int status = snmp_sess_synch_response(s->open, pdu, &response);
  if (is_v3(s))
    keep_user(e, s);
  std::string reply;
  if (status == STAT_SUCCESS && response->errstat == SNMP_ERR_NOERROR)
    reply = print_values(response);
  if (status != STAT_SUCCESS)
    close_session(e, s);
  if (response)
    snmp_free_pdu(response);
  return reply;
}

std::string snmp_engine_get(snmp_engine_t* engine, const signal_t* signal,
                            const snmp_conf_t* conf) {
  auto found = engine->targets.find(signal);
  if (found == engine->targets.end()) {
    int saved = silence_stderr();
    target_t t = resolve(engine, snmp_args(signal, conf));
    restore_stderr(saved);
    found = engine->targets.emplace(signal, t).first;
  }
  if (!found->second.session)
    return "";
  return request(engine, found->second);
}
