// Start-up and configuration: the system log, the telemetry client, morvane.conf loaded into
// the signal table and the overrides, the three worker threads, and the wait for "q".
#include "app.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <iostream>

#include "display.h"
#include "poller.h"
#include "sender.h"
#include "snmpengine.h"
#include "zqk.h"

// Allocated once and never freed: the workers may still read it while the process exits.
std::vector<signal_t*>& signalsVector = *new std::vector<signal_t*>;
snmp_conf_t* global_snmp_conf = NULL;
ZQKClient* client = NULL;

// syslog keeps a pointer to the identity for the whole run.
static const char log_ident[] = "morvane-";

static void lookup_int(const config_setting_t* group, const char* key, int32_t* field) {
  int v;
  if (config_setting_lookup_int(group, key, &v) == CONFIG_TRUE)
    *field = v;
}

static void lookup_string(const config_setting_t* group, const char* key, std::string* field) {
  const char* v;
  if (config_setting_lookup_string(group, key, &v) == CONFIG_TRUE)
    *field = v;
}

void load_global_conf(config_t* cfg) {
  snmp_conf_t* conf = new snmp_conf_t;
  global_snmp_conf = conf;
  config_setting_t* g = config_lookup(cfg, "global");
  if (!g)
    return;
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
  lookup_int(g, "cmd_timeout", &conf->cmd_timeout);
  lookup_int(g, "stale_after", &conf->stale_after);
  lookup_int(g, "send_retry", &conf->send_retry);
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
}

void load_signals(config_t* cfg) {
  config_setting_t* list = config_lookup(cfg, "signals");
  if (!list)
    return;
  int n = config_setting_length(list);
  for (int i = 0; i < n; i++) {
    signal_t* s = new signal_t;
    signalsVector.push_back(s);
    load_signal(config_setting_get_elem(list, i), s);
  }
  putc('\n', stdout);
}

std::string get_text_value(signal_t* s) {
  std::lock_guard<std::mutex> hold(s->text_lock);
  return s->text_value;
}

void set_text_value(signal_t* s, const std::string& text) {
  std::string copy = text;  // allocate outside the lock; readers wait only for the swap
  std::lock_guard<std::mutex> hold(s->text_lock);
  s->text_value.swap(copy);
}

int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool is_stale(const signal_t* s, const snmp_conf_t* conf, int64_t now_ms) {
  if (!conf || conf->stale_after <= 0)
    return false;
  int64_t at = s->good_at.load();
  return at == 0 || now_ms - at > conf->stale_after;
}

// Returns 0 when the configuration was read and loaded, 1 after printing libconfig's error or
// an unknown engine name.
static int read_config() {
  config_t cfg;
  config_init(&cfg);
  if (config_read_file(&cfg, "morvane.conf") != CONFIG_TRUE) {
    // libconfig names no file when it cannot open it
    const char* file = config_error_file(&cfg);
    const char* text = config_error_text(&cfg);
    fprintf(stderr, "%s:%d - %s\n", file ? file : "morvane.conf", config_error_line(&cfg),
            text ? text : "");
    config_destroy(&cfg);
    return 1;
  }
  load_global_conf(&cfg);
  load_signals(&cfg);
  config_destroy(&cfg);
  const std::string& engine = global_snmp_conf->snmp_engine;
  if (!engine.empty() && engine != "snmpget" && engine != "builtin") {
    fprintf(stderr, "morvane.conf: unknown snmp_engine \"%s\" (snmpget or builtin)\n", engine.c_str());
    return 1;
  }
  return 0;
}

struct worker_t {
  const char* name;
  void* (*run)(void*);
  void* arg;
};

// Starts the poller, the built-in SNMP engine's thread when it has signals to read, the sender
// and the display, in that order. The engine is made before any thread runs, since it silences
// standard error while it parses. Returns how many were started, or -1 after printing why one
// could not be.
static int start_threads(pthread_t threads[4]) {
  snmp_engine_t* engine = NULL;
  if (builtin_engine(global_snmp_conf)) {
    engine = snmp_engine_new(signalsVector, global_snmp_conf);  // lives until exit
    if (!engine) {
      fprintf(stderr, "morvane: cannot start the SNMP engine: %s\n", strerror(errno));
      return -1;
    }
    if (snmp_engine_empty(engine))
      engine = NULL;
  }
  worker_t workers[4] = {{"poller", get_data, NULL}, {"SNMP", get_snmp_data, engine},
                         {"sender", send_data, NULL}, {"display", print_data, NULL}};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int started = 0;
  for (const worker_t& w : workers) {
    if (w.run == get_snmp_data && !engine)
      continue;
    int rc = pthread_create(&threads[started], &attr, w.run, w.arg);
    if (rc != 0) {
      fprintf(stderr, "morvane: cannot start the %s thread: %s\n", w.name, strerror(rc));
      return -1;
    }
    pthread_setname_np(threads[started], w.name);  // for ps -L and top -H
    started++;
  }
  return started;
}

// Returns once a "q" arrives; after the end of input it waits until the process is killed.
static void wait_for_q() {
  int c;
  while ((c = getchar()) != 'q') {
    if (c == EOF)
      for (;;)
        pause();
  }
}

int application(int argc, char** argv) {
  (void)argc, (void)argv;
  openlog(log_ident, LOG_PID, LOG_USER);
  sleep(5);
  client = new ZQKClient(NULL, NULL, NULL, NULL, 49000);
  if (client->init_error != 0) {
    printf("ZQK Client error:%i\n", client->last_error);
    return -1;
  }
  if (read_config() != 0)
    return 1;
  pthread_t threads[4];
  int started = start_threads(threads);
  if (started < 0)
    return 1;
  // one write, so that no worker output lands between the prompt and its line end
  std::cout << "Press \"q\" for exit ...\n" << std::flush;
  wait_for_q();
  for (int i = 0; i < started; i++)
    pthread_detach(threads[i]);
  return 0;
}
