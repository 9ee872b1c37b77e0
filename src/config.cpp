// morvane.conf loaded into the signal table and the global overrides; the keys that no loader
// reads are named on standard error.
#include "config.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "health.h"
#include "numbers.h"
#include "rows.h"
#include "shard.h"
#include "signals.h"
#include "walk.h"

// The loaders mark each setting they look up (libconfig's hook), so a key is known exactly when
// a loader reads it, and no list of keys can drift from what is loaded.
static char known_mark;

static void mark_known(config_setting_t* setting) {
  if (setting)
    config_setting_set_hook(setting, &known_mark);
}

static void lookup_int(const config_setting_t* group, const char* key, int32_t* field) {
  int v;
  mark_known(config_setting_get_member(group, key));
  if (config_setting_lookup_int(group, key, &v) == CONFIG_TRUE)
    *field = v;
}

static void lookup_string(const config_setting_t* group, const char* key, std::string* field) {
  const char* v;
  mark_known(config_setting_get_member(group, key));
  if (config_setting_lookup_string(group, key, &v) == CONFIG_TRUE)
    *field = v;
}

static void lookup_bool(const config_setting_t* group, const char* key, bool* field) {
  int v;
  mark_known(config_setting_get_member(group, key));
  if (config_setting_lookup_bool(group, key, &v) == CONFIG_TRUE)
    *field = v;
}

static void read_global(config_t* cfg, snmp_conf_t* conf) {
  config_setting_t* g = config_lookup(cfg, "global");
  if (!g)
    return;
  mark_known(g);
  lookup_int(g, "snmp_timeout", &conf->snmp_timeout);
  lookup_int(g, "snmp_num_retries", &conf->snmp_num_retries);
  lookup_int(g, "snmp_sec_level", &conf->snmp_sec_level);
  lookup_int(g, "snmp_priv_prot", &conf->snmp_priv_prot);
  lookup_string(g, "snmp_priv_pphrase", &conf->snmp_priv_pphrase);
  lookup_int(g, "snmp_auth_prot", &conf->snmp_auth_prot);
  lookup_string(g, "snmp_auth_pphrase", &conf->snmp_auth_pphrase);
  lookup_string(g, "snmp_user", &conf->snmp_user);
  lookup_string(g, "snmp_community", &conf->snmp_community);
  lookup_string(g, "snmp_context", &conf->snmp_context);
  lookup_string(g, "snmp_engine", &conf->snmp_engine);
  lookup_int(g, "poll_period", &conf->poll_period);
  lookup_int(g, "snmp_window", &conf->snmp_window);
  lookup_int(g, "cmd_timeout", &conf->cmd_timeout);
  lookup_int(g, "stale_after", &conf->stale_after);
  lookup_int(g, "send_retry", &conf->send_retry);
  lookup_string(g, "display", &conf->display);
  lookup_int(g, "walk_period", &conf->walk_period);
  mark_known(config_setting_get_member(g, "shard"));  // read by read_shard
}

void load_global_conf(config_t* cfg) {
  global_snmp_conf = new snmp_conf_t;
  read_global(cfg, global_snmp_conf);
}

static void load_signal(const config_setting_t* e, signal_t* s) {
  lookup_int(e, "id", &s->id);
  lookup_int(e, "signum", &s->signum);
  lookup_string(e, "dev_name", &s->dev_name);
  lookup_int(e, "dev_id", &s->dev_id);
  lookup_string(e, "name", &s->name);
  lookup_string(e, "cmd", &s->cmd);
  lookup_string(e, "oid", &s->oid);
  lookup_int(e, "call_type", &s->call_type);
  lookup_string(e, "health", &s->health);
  lookup_int(e, "snmp_timeout", &s->snmp_timeout);
  lookup_int(e, "snmp_num_retries", &s->snmp_num_retries);
  lookup_int(e, "snmp_sec_level", &s->snmp_sec_level);
  lookup_int(e, "snmp_priv_prot", &s->snmp_priv_prot);
  lookup_string(e, "snmp_priv_pphrase", &s->snmp_priv_pphrase);
  lookup_int(e, "snmp_auth_prot", &s->snmp_auth_prot);
  lookup_string(e, "snmp_auth_pphrase", &s->snmp_auth_pphrase);
  lookup_string(e, "snmp_user", &s->snmp_user);
  lookup_string(e, "ip_addr", &s->ip_addr);
  lookup_string(e, "snmp_community", &s->snmp_community);
  lookup_string(e, "snmp_context", &s->snmp_context);
  lookup_int(e, "value_type", &s->value_type);
  lookup_int(e, "divider", &s->divider);
  lookup_string(e, "active_value", &s->active_value);
  lookup_string(e, "inactive_value", &s->inactive_value);
  bool rate = false;
  lookup_bool(e, "rate", &rate);
  if (rate)
    s->rate = new count_base_t;  // lives with the signal, for good
  mark_known(config_setting_get_member(e, "walk"));  // read by expand_columns
  mark_known(config_setting_get_member(e, "label_oid"));
}

// Appends one signal per element of "signals" to table; false when there is no "signals".
static bool read_signals(config_t* cfg, std::vector<signal_t*>* table) {
  config_setting_t* list = config_lookup(cfg, "signals");
  if (!list)
    return false;
  mark_known(list);
  int n = config_setting_length(list);
  for (int i = 0; i < n; i++) {
    signal_t* s = new signal_t;
    table->push_back(s);
    load_signal(config_setting_get_elem(list, i), s);
  }
  return true;
}

void load_signals(config_t* cfg) {
  if (read_signals(cfg, &signalsVector))
    putc('\n', stdout);
}

// One unknown key of a group: where it is first, and how often it recurs.
struct unknown_key_t {
  std::string name, group;  // group: " in global", " in signals", or "" at the top
  const char* file;
  int line;
  int more;
};

// Where the key's setting is, for a message.
static const char* file_of(const config_setting_t* key) {
  const char* file = config_setting_source_file(key);
  return file ? file : "morvane.conf";
}

static void find_unknown(const config_setting_t* group, const char* where,
                         std::vector<unknown_key_t>* found, std::map<std::string, size_t>* seen) {
  if (!group || !config_setting_is_group(group))
    return;
  int n = config_setting_length(group);
  for (int i = 0; i < n; i++) {
    config_setting_t* key = config_setting_get_elem(group, i);
    if (config_setting_get_hook(key) == &known_mark)
      continue;
    const char* name = config_setting_name(key);
    auto at = seen->emplace(std::string(where) + ' ' + name, found->size());
    if (!at.second) {
      (*found)[at.first->second].more++;
      continue;
    }
    int line = static_cast<int>(config_setting_source_line(key));
    found->push_back({name, where, file_of(key), line, 0});
  }
}

void name_unknown_keys(config_t* cfg) {
  std::vector<unknown_key_t> found;
  std::map<std::string, size_t> seen;  // group and name: the key's place in found
  find_unknown(config_root_setting(cfg), "", &found, &seen);
  find_unknown(config_lookup(cfg, "global"), " in global", &found, &seen);
  config_setting_t* list = config_lookup(cfg, "signals");
  int n = list ? config_setting_length(list) : 0;
  for (int i = 0; i < n; i++)
    find_unknown(config_setting_get_elem(list, i), " in signals", &found, &seen);
  std::stable_sort(found.begin(), found.end(), [](const unknown_key_t& a, const unknown_key_t& b) {
    int files = strcmp(a.file, b.file);
    return files < 0 || (files == 0 && a.line < b.line);
  });  // in the file's order
  for (const unknown_key_t& k : found) {
    fprintf(stderr, "%s:%d: unknown key \"%s\"%s", k.file, k.line, k.name.c_str(), k.group.c_str());
    if (k.more > 0)
      fprintf(stderr, " (and in %d more)", k.more);
    fputc('\n', stderr);
  }
}

// Refuses key = true on a signal whose field is not one that key needs: a rate is a number per
// second (value type 0 or 1), a walk reads an SNMP table (call type 0, 1 or 2). Names the line of
// the first; returns 1 then, else 0.
static int refuse_key(config_t* cfg, const char* key, const char* field, int least, int most) {
  config_setting_t* list = config_lookup(cfg, "signals");
  int n = list ? config_setting_length(list) : 0;
  for (int i = 0; i < n; i++) {
    config_setting_t* e = config_setting_get_elem(list, i);
    int on = 0, value = 0;
    if (!config_setting_is_group(e) || config_setting_lookup_bool(e, key, &on) != CONFIG_TRUE || !on)
      continue;
    config_setting_lookup_int(e, field, &value);
    if (value >= least && value <= most)
      continue;
    config_setting_t* at = config_setting_get_member(e, key);
    std::string allowed = std::to_string(least);
    for (int v = least + 1; v <= most; v++)
      allowed += (v < most ? ", " : " or ") + std::to_string(v);
    say(LOG_ERR, "%s:%d: %s needs %s %s, not %d", file_of(at), config_setting_source_line(at), key, field,
        allowed.c_str(), value);
    return 1;
  }
  return 0;
}

// Frees a signal that leaves the table before any thread has seen it.
static void drop_signal(signal_t* s) {
  delete s->rate;
  delete s;
}

static bool walked(const config_setting_t* e) {
  int walk = 0;
  return config_setting_lookup_bool(e, "walk", &walk) == CONFIG_TRUE && walk;
}

// The signums of the signals of the file that are not walked, of every shard, in file order.
static std::vector<int32_t> file_signums(config_t* cfg, const std::vector<signal_t*>& table) {
  config_setting_t* list = config_lookup(cfg, "signals");
  int count = list ? config_setting_length(list) : 0;
  std::vector<int32_t> signums;
  for (int i = 0; i < count; i++)
    if (!walked(config_setting_get_elem(list, i)))
      signums.push_back(table[i]->signum);  // one signal per element, in order
  return signums;
}

// Gives each signal with walk = true of the shard k of n its column, numbered by *book (made
// when null); its rows come as it is walked. The numbers its rows take are kept clear of every
// other signal of the file, of every shard (a column's own is its rows').
static void make_columns(config_t* cfg, const std::vector<signal_t*>& table, int k, int n, book_t** book) {
  config_setting_t* list = config_lookup(cfg, "signals");
  int count = list ? config_setting_length(list) : 0;
  for (int i = 0; i < count; i++) {
    config_setting_t* e = config_setting_get_elem(list, i);
    signal_t* s = table[i];
    if (!walked(e) || shard_of(s, n) != k)
      continue;  // another instance's agent: leave_shard drops it unwalked
    if (!*book) {
      *book = new book_t;  // lives with the columns, for good
      book_open(*book, numbers_path(), file_signums(cfg, table));  // before the shard is left
    }
    const char* label_oid = "";
    config_setting_lookup_string(e, "label_oid", &label_oid);
    config_setting_t* at = config_setting_get_member(e, "walk");
    column_new(s, label_oid, std::string(file_of(at)) + ":" + std::to_string(config_setting_source_line(at)), *book);
  }
}



// Reads shard = "K/N" of global into k and n (0 and 1 without it); returns 0, or 1 after naming
// its line when it is not such a text.
static int read_shard(config_t* cfg, int* k, int* n) {
  config_setting_t* at = config_lookup(cfg, "global.shard");
  const char* text = at ? config_setting_get_string(at) : NULL;
  if (!at || (text && parse_shard(text, k, n)))
    return 0;
  std::string value = text ? '"' + std::string(text) + '"' : "a text";
  say(LOG_ERR, "%s:%d: shard needs \"K/N\" with 0 <= K < N, not %s", file_of(at), config_setting_source_line(at),
      value.c_str());
  return 1;
}

// Drops from table the signals that fall to another shard than k of n.
static void leave_shard(std::vector<signal_t*>* table, int k, int n) {
  if (n == 1)
    return;
  auto others = std::stable_partition(table->begin(), table->end(),
                                      [&](const signal_t* s) { return shard_of(s, n) == k; });
  std::for_each(others, table->end(), drop_signal);
  table->erase(others, table->end());
}

// Refuses a signal of table (this shard's) whose signum a row of running holds: two series
// would be delivered under one number. Names the first; returns 1 then, else 0.
static int refuse_row_clash(config_t* cfg, const std::vector<signal_t*>& table, const table_t* running) {
  std::map<int32_t, const signal_t*> rows;
  for (const std::shared_ptr<signal_t>& row : running->rows)
    rows[row->signum] = row.get();
  config_setting_t* list = config_lookup(cfg, "signals");
  int count = list ? config_setting_length(list) : 0;
  for (int i = 0; i < count; i++) {
    auto clash = rows.find(table[i]->signum);
    config_setting_t* e = config_setting_get_elem(list, i);
    if (walked(e) || clash == rows.end())
      continue;
    config_setting_t* at = config_setting_get_member(e, "signum");
    say(LOG_ERR, "%s:%d: signum %d is row \"%s\"'s", file_of(at ? at : e), config_setting_source_line(at ? at : e),
        table[i]->signum, visible_text(clash->second->name).c_str());
    return 1;
  }
  return 0;
}

// Where a signal's key is, for a message: the key's line, else the signal's.
static int line_of(const config_setting_t* e, const char* key, const char** file) {
  const config_setting_t* at = config_setting_get_member(e, key);
  *file = file_of(at ? at : e);
  return (int)config_setting_source_line(at ? at : e);
}

// The agents the SNMP signals of table read that fall to shard k of n, by agent_key.
static std::set<std::string> agents_read(const std::vector<signal_t*>& table, int k, int n) {
  std::set<std::string> agents;
  for (const signal_t* s : table)
    if (s->call_type >= 0 && s->call_type <= 2 && shard_of(s, n) == k)
      agents.insert(agent_key(s->ip_addr));
  return agents;
}

// What is wrong with the figure of s (call type 4, or a health key on another) that falls to
// shard k of n, said with its place; 1 then, else 0. engine: the one that reads the agents.
static int refuse_figure(const config_setting_t* e, const signal_t* s, const std::set<std::string>& agents,
                         const std::string& engine, int k, int n) {
  const char* file;
  figure_t f = figure_named(s->health);
  if (s->call_type != 4) {
    int line = line_of(e, "health", &file);
    say(LOG_ERR, "%s:%d: health needs call_type 4, not %d", file, line, s->call_type);
  } else if (f == NO_FIGURE) {
    int line = line_of(e, config_setting_get_member(e, "health") ? "health" : "call_type", &file);
    say(LOG_ERR, "%s:%d: unknown health \"%s\" (%s)", file, line, visible_text(s->health).c_str(), figure_list);
  } else if (s->value_type != 0 && s->value_type != 1) {
    int line = line_of(e, "value_type", &file);
    say(LOG_ERR, "%s:%d: health needs value_type 0 or 1, not %d", file, line, s->value_type);
  } else if (!agent_figure(f) && !s->ip_addr.empty()) {
    int line = line_of(e, "ip_addr", &file);
    say(LOG_ERR, "%s:%d: health \"%s\" is the delivery's: it takes no ip_addr", file, line, s->health.c_str());
  } else if (agent_figure(f) && s->ip_addr.empty()) {
    int line = line_of(e, "health", &file);
    say(LOG_ERR, "%s:%d: health \"%s\" needs the ip_addr of an agent", file, line, s->health.c_str());
  } else if (agent_figure(f) && shard_of(s, n) == k && !agents.count(agent_key(s->ip_addr))) {
    int line = line_of(e, "ip_addr", &file);
    std::string shard = n > 1 ? " of shard " + std::to_string(k) + "/" + std::to_string(n) : "";
    say(LOG_ERR, "%s:%d: health \"%s\" names agent \"%s\", which no SNMP signal%s reads%s", file, line,
        s->health.c_str(), visible_text(s->ip_addr).c_str(), shard.c_str(),
        n > 1 ? " (an agent's figures go with its signals)" : "");
  } else if (f == FIG_IN_FLIGHT && engine != "builtin") {
    int line = line_of(e, "health", &file);
    say(LOG_ERR, "%s:%d: health \"in_flight\" needs snmp_engine \"builtin\": snmpget has one GET in flight at most",
        file, line);
  } else {
    return 0;
  }
  return 1;
}

// Refuses the first figure that cannot be read (refuse_figure). engine: the one that reads.
static int refuse_health(config_t* cfg, const std::vector<signal_t*>& table, const std::string& engine, int k, int n) {
  std::set<std::string> agents = agents_read(table, k, n);
  config_setting_t* list = config_lookup(cfg, "signals");
  int count = list ? config_setting_length(list) : 0;
  for (int i = 0; i < count; i++) {
    const signal_t* s = table[i];
    config_setting_t* e = config_setting_get_elem(list, i);
    bool named = config_setting_get_member(e, "health") != NULL;
    if ((s->call_type == 4 || named) && refuse_figure(e, s, agents, engine, k, n))
      return 1;
  }
  return 0;
}

// The refusals that stop a start; 1 after naming the first, else 0.
static int refuse(config_t* cfg, const loaded_t& into, const table_t* running, int* k, int* n) {
  const std::string& engine = into.conf.snmp_engine;
  if (refuse_key(cfg, "rate", "value_type", 0, 1) || refuse_key(cfg, "walk", "call_type", 0, 2))
    return 1;
  if (!engine.empty() && engine != "snmpget" && engine != "builtin") {
    say(LOG_ERR, "morvane.conf: unknown snmp_engine \"%s\" (snmpget or builtin)", engine.c_str());
    return 1;
  }
  if (read_shard(cfg, k, n))
    return 1;
  // a reload keeps the running engine
  const std::string& reads = running ? running->loaded->conf.snmp_engine : engine;
  return refuse_health(cfg, into.signals, reads, *k, *n) || (running && refuse_row_clash(cfg, into.signals, running));
}

// Opens path for reading when it is a regular file: a FIFO or a device left there would hold
// the start, or a reload, for good. Returns the stream, or null with why ("" when it cannot be
// opened, which libconfig names as its own I/O error).
static FILE* open_regular(const char* path, std::string* why) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))
    *why = "not a regular file";
  FILE* f = fd >= 0 && why->empty() ? fdopen(fd, "r") : NULL;
  if (!f && fd >= 0)
    close(fd);
  return f;
}

// Reads path into cfg; false, named on standard error and in the system log, when it cannot.
static bool read_file(config_t* cfg, const char* path) {
  std::string why;
  FILE* f = open_regular(path, &why);
  bool read = f && config_read(cfg, f) == CONFIG_TRUE;
  if (f)
    fclose(f);
  if (read)
    return true;
  // libconfig names no file when it reads a stream
  const char* file = config_error_file(cfg);
  const char* text = !why.empty() ? why.c_str() : f ? config_error_text(cfg) : "file I/O error";
  say(LOG_ERR, "%s:%d - %s", file ? file : path, f ? config_error_line(cfg) : 0, text ? text : "");
  return false;
}

int load_config(const char* path, loaded_t* into, book_t** book, const table_t* running) {
  config_t cfg;
  config_init(&cfg);
  if (!read_file(&cfg, path)) {
    config_destroy(&cfg);
    return 1;
  }
  read_global(&cfg, &into->conf);
  bool listed = read_signals(&cfg, &into->signals);
  if (listed && !running)
    putc('\n', stdout);
  name_unknown_keys(&cfg);
  int k = 0, n = 1;
  int refused = refuse(&cfg, *into, running, &k, &n);
  if (refused) {
    std::for_each(into->signals.begin(), into->signals.end(), drop_signal);
    into->signals.clear();
  } else {
    into->signums = file_signums(&cfg, into->signals);
    make_columns(&cfg, into->signals, k, n, book);
    leave_shard(&into->signals, k, n);
  }
  config_destroy(&cfg);
  return refused;
}

int read_config() {
  std::shared_ptr<loaded_t> loaded = std::make_shared<loaded_t>();
  book_t* book = NULL;
  if (load_config("morvane.conf", loaded.get(), &book, NULL) != 0)
    return 1;
  global_snmp_conf = new snmp_conf_t(loaded->conf);
  signalsVector = loaded->signals;
  for (signal_t* s : signalsVector)
    if (s->column)
      walk_prepare(s->column, global_snmp_conf);
  publish_loaded(loaded);
  return 0;
}
