// Reloading morvane.conf while the threads run. The main thread loads and checks the new file
// aside, matches its signals with the running ones and publishes the new table; the readers take
// it at their next pass, the poller and the engine at their next round, and the thread that walks
// takes its columns (take_reload). Nothing running is changed in place: a signal whose settings
// changed is a new record, and the records a reload retires are freed with the last version, or
// the last round, that reads them.
#include "reload.h"

#include <stdio.h>
#include <syslog.h>

#include <map>
#include <set>
#include <string>

#include "config.h"
#include "rows.h"
#include "signals.h"
#include "walk.h"

// What a signal reads: two signals with one identity are one series.
static std::string identity(const signal_t* s) {
  std::string label = s->column ? s->column->label_oid : "";
  return std::to_string(s->signum) + '\n' + std::to_string(s->call_type) + '\n' + s->ip_addr + '\n' + s->oid +
         '\n' + s->cmd + '\n' + std::to_string(s->value_type) + '\n' + (s->rate ? "rate" : "") + '\n' +
         (s->column ? "walk " + label : "") + '\n' + s->health;
}

// True when a and b, of one identity, have every other setting of morvane.conf alike too.
static bool alike(const signal_t* a, const signal_t* b) {
  return a->id == b->id && a->dev_name == b->dev_name && a->dev_id == b->dev_id && a->name == b->name &&
         a->snmp_timeout == b->snmp_timeout && a->snmp_num_retries == b->snmp_num_retries &&
         a->snmp_sec_level == b->snmp_sec_level && a->snmp_priv_prot == b->snmp_priv_prot &&
         a->snmp_priv_pphrase == b->snmp_priv_pphrase && a->snmp_auth_prot == b->snmp_auth_prot &&
         a->snmp_auth_pphrase == b->snmp_auth_pphrase && a->snmp_user == b->snmp_user &&
         a->snmp_community == b->snmp_community && a->snmp_context == b->snmp_context &&
         a->divider == b->divider && a->active_value == b->active_value && a->inactive_value == b->inactive_value;
}

// The engine and display conf reads with: an unset or other engine is snmpget, an unset or other
// display the live table.
static std::string engine_of(const snmp_conf_t& conf) {
  return builtin_engine(&conf) ? "builtin" : "snmpget";
}
static std::string display_of(const snmp_conf_t& conf) {
  return conf.display == "screen" || conf.display == "none" ? conf.display : "table";
}

// The overrides that take effect at a reload; snmp_engine and display only at a restart, named
// when the file changes what is in force.
static void keep_restart_keys(snmp_conf_t* conf, const snmp_conf_t& running) {
  if (engine_of(*conf) != engine_of(running) || display_of(*conf) != display_of(running))
    say(LOG_NOTICE, "morvane: morvane.conf: snmp_engine and display take effect at a restart; still \"%s\" and \"%s\"",
        engine_of(running).c_str(), display_of(running).c_str());
  conf->snmp_engine = running.snmp_engine;
  conf->display = running.display;
}

// What a reload did, for its record.
struct tally_t {
  int added = 0, removed = 0, changed = 0;
};

// Frees a signal of the new file that a running one stands for; no thread has seen it.
static void drop_loaded(signal_t* s) {
  delete s->column;
  delete s->rate;
  delete s;
}

// The running signals by identity, and what owns those a reload made.
struct running_t {
  std::multimap<std::string, signal_t*> by_identity;
  std::map<const signal_t*, std::shared_ptr<signal_t>> made;
  std::map<const count_base_t*, std::shared_ptr<count_base_t>> bases;
};

static running_t index_running(const loaded_t& running) {
  running_t r;
  for (signal_t* s : running.signals)
    r.by_identity.emplace(identity(s), s);
  for (const std::shared_ptr<signal_t>& s : running.made)
    r.made[s.get()] = s;
  for (const std::shared_ptr<count_base_t>& b : running.bases)
    r.bases[b.get()] = b;
  return r;
}

// fresh takes over old's reading, its stamps and its rate's base: one series goes on.
static void take_over(signal_t* fresh, signal_t* old, const running_t& r, loaded_t* into) {
  fresh->float_value.store(old->float_value.load());
  fresh->int_value.store(old->int_value.load());
  set_text_value(fresh, get_text_value(old));
  fresh->good_at.store(old->good_at.load());
  if (!old->rate)
    return;
  delete fresh->rate;
  fresh->rate = old->rate;  // its writer goes on with it, from the old record or from this one
  auto owner = r.bases.find(old->rate);
  if (owner != r.bases.end())
    into->bases.push_back(owner->second);
}

// Owns s, made by this reload, and with base its rate base: bases are owned apart, as a signal
// that takes over a running one's shares it. A column is its signal's alone and goes with it.
static void own(signal_t* s, bool base, loaded_t* into) {
  into->made.push_back(std::shared_ptr<signal_t>(s, [](signal_t* gone) {
    delete gone->column;
    delete gone;
  }));
  if (base && s->rate)
    into->bases.push_back(std::shared_ptr<count_base_t>(s->rate));
}

// Matches each signal of into with a running one of its identity: alike, the running one stays
// in its place; else the new one takes over its reading, or, a column, its rows (successors,
// new -> running). Counts what changed.
static void match(loaded_t* into, const loaded_t& running, tally_t* tally,
                  std::map<const column_t*, const column_t*>* successors) {
  running_t r = index_running(running);
  std::set<int32_t> running_signums, new_signums;
  for (signal_t* s : running.signals)
    running_signums.insert(s->signum);
  for (signal_t*& s : into->signals) {
    new_signums.insert(s->signum);
    auto same = r.by_identity.find(identity(s));
    if (same != r.by_identity.end() && alike(same->second, s)) {
      drop_loaded(s);
      s = same->second;
      if (r.made.count(s))
        into->made.push_back(r.made[s]);
      if (s->rate && r.bases.count(s->rate))
        into->bases.push_back(r.bases[s->rate]);
      r.by_identity.erase(same);
      continue;
    }
    bool successor = same != r.by_identity.end() && !s->column;
    if (successor) {
      take_over(s, same->second, r, into);
      r.by_identity.erase(same);
    } else if (same != r.by_identity.end()) {
      (*successors)[s->column] = same->second->column;  // walked afresh, its rows carried over
      r.by_identity.erase(same);
    }
    own(s, !successor, into);
    if (running_signums.count(s->signum))
      tally->changed++;
    else
      tally->added++;
  }
  for (int32_t n : running_signums)
    tally->removed += !new_signums.count(n);
}

int reload_config() {
  std::shared_ptr<const table_t> running = table_now();
  std::shared_ptr<loaded_t> loaded = std::make_shared<loaded_t>();
  book_t* book = NULL;
  for (signal_t* s : running->loaded->signals)
    if (s->column)
      book = s->column->book;
  if (load_config("morvane.conf", loaded.get(), &book, running.get()) != 0) {
    say(LOG_ERR, "morvane: morvane.conf is refused; the running table is kept");
    return 1;
  }
  keep_restart_keys(&loaded->conf, running->loaded->conf);
  tally_t tally;
  std::map<const column_t*, const column_t*> successors;
  match(loaded.get(), *running->loaded, &tally, &successors);
  publish_loaded(loaded, successors);
  say(LOG_NOTICE, "morvane: morvane.conf reloaded: %d added, %d removed, %d changed", tally.added,
      tally.removed, tally.changed);
  return 0;
}

std::vector<std::shared_ptr<signal_t>> take_reload(const loaded_t& now, const loaded_t& before) {
  std::set<const column_t*> kept, had;
  book_t* book = NULL;
  for (const signal_t* s : now.signals)
    if (s->column) {
      kept.insert(s->column);
      book = s->column->book;
    }
  std::map<std::string, column_t*> let_go;  // by identity
  for (const signal_t* s : before.signals) {
    had.insert(s->column);
    if (s->column && !kept.count(s->column))
      let_go[identity(s)] = s->column;
  }
  bool carried = false;
  for (const signal_t* s : now.signals)
    if (s->column && !had.count(s->column)) {
      walk_prepare(s->column, &now.conf);
      auto was = let_go.find(identity(s));
      if (was != let_go.end() && !s->column->name.empty()) {
        carry_rows(s->column, was->second);
        carried = true;
      }
    }
  std::vector<std::shared_ptr<signal_t>> dropped;
  for (const auto& gone : let_go) {
    std::vector<std::shared_ptr<signal_t>> rows = drop_column(gone.second);
    dropped.insert(dropped.end(), rows.begin(), rows.end());
  }
  if (book)
    book_sign(book, now.signums);
  if (carried)
    publish_rows();  // the table shows the rows this thread now writes
  return dropped;
}
