// The built-in engine's sessions: snmpget words parsed once by the library's own option parser,
// and signals that differ only in their object gathered in one session. Runs on the main
// thread, before the engine's thread starts.
#include "snmpsession.h"

#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "rows.h"
#include "signals.h"
#include "snmpcmd.h"
#include "snmpwire.h"

// The option parser writes some refusals ("Invalid timeout ...", "No community name ...")
// straight to stderr whatever its flags say; while it runs, stderr goes to /dev/null
// (silence_stderr), and back after.
static void restore_stderr(int saved) {
  if (saved < 0)
    return;
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
}

// snmpget's own -C options; none of them changes a GET of the objects of one line.
static void app_option(int, char* const*, int) {}

// The library's boolean and integer settings (output format and the like).
struct settings_t {
  int booleans[NETSNMP_DS_MAX_SUBIDS];
  int integers[NETSNMP_DS_MAX_SUBIDS];
};

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

// What becomes of a signal of the table.
enum member_kind_t { MEMBER, UNREAD, UNSENDABLE };

// Adds the signal of args to its session, or a walked column to its walks. Signals that differ
// only in their last word (the object) share a session, unless that word could be taken for an
// option. UNREAD when snmpget would print nothing for it, whatever the agent; UNSENDABLE when no
// GET can carry its object.
static member_kind_t add_member(std::vector<session_t*>* sessions, by_words_t* by_words, hosts_t* hosts,
                                signal_t* signal, const std::vector<std::string>& args) {
  if (args.empty())
    return UNREAD;  // a line too long to run
  std::vector<std::string> key = args;
  bool last_is_object = args.back()[0] != '-';
  if (last_is_object)
    key.pop_back();
  session_t*& session = (*by_words)[key];
  if (!session) {
    session = parse_session(key);
    session->index = (uint32_t)sessions->size();
    session->health = agent_health(signal->ip_addr);
    if (session->usable)
      read_address(session, hosts);
    sessions->push_back(session);
  }
  if (!session->usable)
    return UNREAD;
  if (signal->column && signal->column->signal == signal) {
    add_walk(session, signal->column);  // its rows become members as they are found
    return MEMBER;
  }
  std::vector<std::string> objects = session->objects;
  if (last_is_object)
    objects.push_back(args.back());
  if (objects.size() != 1)
    return UNREAD;  // snmpget: "Missing object name"; one oid never makes two objects
  oid name[MAX_OID_LEN];
  size_t length = MAX_OID_LEN;
  if (!snmp_parse_oid(objects[0].c_str(), name, &length))
    return UNREAD;
  u_char ber[max_name_ber];
  if (!encode_name(name, length, ber))
    return UNSENDABLE;  // a GET naming it would fail whole
  session->members.push_back({signal, std::vector<oid>(name, name + length)});
  session->life.rates |= signal->rate != nullptr;
  return MEMBER;
}

// Adds each SNMP signal of table to its session in by_words, made when new.
static void group(const std::vector<signal_t*>& table, const snmp_conf_t* conf, std::vector<session_t*>* sessions,
                  by_words_t* by_words, std::vector<signal_t*>* unread, hosts_t* hosts) {
  std::vector<signal_t*> unsendable;
  int saved = silence_stderr();
  for (signal_t* s : table) {
    member_kind_t kind = s->call_type >= 0 && s->call_type <= 2 ? add_member(sessions, by_words, hosts, s, snmp_args(s, conf))
                                                               : MEMBER;
    if (kind != MEMBER)
      unread->push_back(s);
    if (kind == UNSENDABLE)
      unsendable.push_back(s);
  }
  restore_stderr(saved);
  // snmpget says so at every reading; this engine once
  for (const signal_t* s : unsendable)
    fprintf(stderr, "morvane.conf: \"%s\" is never read: SNMP cannot carry its oid %s (the first number must be 0, 1 "
            "or 2, and the second below 40 after 0 or 1)\n", s->name.c_str(), s->oid.c_str());
}

void make_sessions(const std::vector<signal_t*>& table, const snmp_conf_t* conf,
                   std::vector<session_t*>* sessions, std::vector<signal_t*>* unread, hosts_t* hosts) {
  by_words_t by_words;
  group(table, conf, sessions, &by_words, unread, hosts);
}

// Each running session's members and walks are set aside while the new table is grouped, and
// the grouping's put in next_members and next_walks instead.
void regroup_sessions(const std::vector<signal_t*>& table, const snmp_conf_t* conf,
                      std::vector<session_t*>* sessions, std::vector<signal_t*>* unread, hosts_t* hosts) {
  by_words_t by_words;
  size_t running = sessions->size();
  for (session_t* s : *sessions) {
    by_words[std::vector<std::string>(s->words.begin() + 1, s->words.end())] = s;
    s->next_members = std::move(s->members);
    s->members.clear();
    s->next_walks = std::move(s->walks);
    s->walks.clear();
  }
  group(table, conf, sessions, &by_words, unread, hosts);
  for (size_t i = 0; i < running; i++) {
    session_t* s = (*sessions)[i];
    s->members.swap(s->next_members);
    s->walks.swap(s->next_walks);
    s->regrouped = true;
  }
}

bool take_regroup(session_t* s) {
  if (!s->regrouped)
    return false;
  s->regrouped = false;
  s->members.swap(s->next_members);
  s->walks.swap(s->next_walks);
  s->next_members.clear();
  s->next_walks.clear();
  s->names.clear();
  rows_to_members(s);
  return true;
}

netsnmp_session* live(const session_t* s) {
  return snmp_sess_session(s->link.library);
}

int64_t timeout_ns(const session_t* s) {
  if (s->settings.timeout > 0)
    return s->settings.timeout * 1000LL;
  int seconds = netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_TIMEOUT);
  return seconds > 0 ? seconds * 1000000000LL : 1000000000LL;  // the library's 1 s
}
