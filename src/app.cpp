// Start-up: the system log, the telemetry client, morvane.conf loaded into the signal table and
// the overrides, the three worker threads, and the wait for "q".
#include "app.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <iostream>

#include "config.h"
#include "display.h"
#include "poller.h"
#include "screen.h"
#include "sender.h"
#include "signals.h"
#include "snmpengine.h"
#include "zqk.h"

// syslog keeps a pointer to the identity for the whole run.
static const char log_ident[] = "morvane-";

// The display thread's body when it has a screen: returns once the operator ends it with "q".
static void* run_screen(void* screen) {
  screen_run((screen_t*)screen);
  return NULL;
}

struct worker_t {
  const char* name;
  void* (*run)(void*);
  void* arg;
};

// Starts the poller, the built-in SNMP engine's thread when it has signals to read, the sender
// and the display (none with display = "none"), in that order; the sender gets delivery and the
// display the screen (both null for the table). The engine is made before any thread runs, since
// it silences standard error while it parses. Returns how many were started, or -1 after
// printing why one could not be, the terminal given back first.
static int start_threads(pthread_t threads[4], screen_t* screen, delivery_t* delivery) {
  snmp_engine_t* engine = NULL;
  if (builtin_engine(global_snmp_conf)) {
    engine = snmp_engine_new(signalsVector, global_snmp_conf);  // lives until exit
    if (!engine) {
      int err = errno;
      screen_close(screen);
      fprintf(stderr, "morvane: cannot start the SNMP engine: %s\n", strerror(err));
      return -1;
    }
    if (snmp_engine_empty(engine))
      engine = NULL;
  }
  bool no_display = global_snmp_conf->display == "none";
  worker_t workers[4] = {{"poller", get_data, NULL},
                         {"SNMP", engine ? get_snmp_data : NULL, engine},
                         {"sender", send_data, delivery},
                         {"display", screen ? run_screen : no_display ? NULL : print_data, screen}};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int started = 0;
  for (const worker_t& w : workers) {
    if (!w.run)
      continue;
    int rc = pthread_create(&threads[started], &attr, w.run, w.arg);
    if (rc != 0) {
      screen_close(screen);
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
  // The sender's health, for a screen. Never freed: detached threads may use it until exit.
  static delivery_t* delivery = new delivery_t;
  screen_t* screen = screen_open(global_snmp_conf, delivery);
  pthread_t threads[4];
  int started = start_threads(threads, screen, screen ? delivery : NULL);
  if (started < 0)
    return 1;
  if (screen) {
    pthread_join(threads[--started], NULL);  // the display's thread takes the keys, "q" too
  } else {
    // one write, so that no worker output lands between the prompt and its line end
    std::cout << "Press \"q\" for exit ...\n" << std::flush;
    wait_for_q();
  }
  for (int i = 0; i < started; i++)
    pthread_detach(threads[i]);
  return 0;
}
