// Start-up: the system log, the telemetry client, morvane.conf loaded into the signal table and
// the overrides, the three worker threads, and the wait for "q". With display = "none" the main
// thread also takes SIGHUP, which every thread has blocked, through a signalfd, and reloads
// morvane.conf (reload.h).
#include "app.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <unistd.h>

#include <iostream>

#include "config.h"
#include "display.h"
#include "poller.h"
#include "reload.h"
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

// The screen's key "r"; arg is the engine, or null.
static int reload_now(void* engine) {
  int rc = reload_config();
  if (rc == 0 && engine)
    snmp_engine_reloaded((snmp_engine_t*)engine);
  return rc;
}

// Starts the poller, the built-in SNMP engine's thread when it has signals to read (or when a
// reload may give it some: reloads), the sender and the display (none with display = "none"), in
// that order; the sender gets delivery and the display the screen (both null for the table), with
// its key "r". The engine is made before any thread runs, since it silences standard error while
// it parses, and put in *started_engine. Returns how many were started, or -1 after printing why one could not be, the
// terminal given back first.
static int start_threads(pthread_t threads[4], screen_t* screen, delivery_t* delivery, bool reloads,
                         snmp_engine_t** started_engine) {
  snmp_engine_t* engine = NULL;
  if (builtin_engine(global_snmp_conf)) {
    engine = snmp_engine_start();  // lives until exit
    if (!engine) {
      int err = errno;
      screen_close(screen);
      fprintf(stderr, "morvane: cannot start the SNMP engine: %s\n", strerror(err));
      return -1;
    }
    if (snmp_engine_empty(engine) && !reloads)
      engine = NULL;
  }
  *started_engine = engine;
  if (screen)
    screen_reloads(screen, reload_now, engine);  // before its thread reads it
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

// SIGHUP is blocked from the start, so that every thread has it blocked, the telemetry client's
// too; with display = "none" the main thread takes it through the signalfd returned, otherwise
// (or without a signalfd: -1) it is unblocked here again and ends morvane, as a hangup does.
static sigset_t hangup_set() {
  sigset_t hup;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  return hup;
}

static void hold_hangups(int how) {
  sigset_t hup = hangup_set();
  pthread_sigmask(how, &hup, NULL);
}

static int take_hangups(bool reloads) {
  sigset_t hup = hangup_set();
  int fd = reloads ? signalfd(-1, &hup, SFD_CLOEXEC | SFD_NONBLOCK) : -1;
  if (fd < 0)
    hold_hangups(SIG_UNBLOCK);
  return fd;
}

// Reloads morvane.conf for each hangup waiting; hangups that come during a reload are one more.
static void reload_on_hangup(int hangups, snmp_engine_t* engine) {
  signalfd_siginfo info;
  if (read(hangups, &info, sizeof info) != (ssize_t)sizeof info)
    return;
  reload_now(engine);
}

// True when the input read holds a "q"; false at its end (or an error) too, with *open false.
static bool read_q(bool* open) {
  char buf[256];
  ssize_t n = read(0, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN))
    return false;
  if (n <= 0) {
    *open = false;
    return false;
  }
  return memchr(buf, 'q', (size_t)n) != NULL;
}

// Returns once a "q" arrives, reloading at each hangup on hangups (-1: none taken); after the
// end of input it waits for hangups alone until the process is killed.
static void wait_for_q(int hangups, snmp_engine_t* engine) {
  bool open = true;
  for (;;) {
    pollfd fds[2] = {{open ? 0 : -1, POLLIN, 0}, {hangups, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0)
      continue;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && read_q(&open))
      return;
    if (fds[0].revents & POLLNVAL)
      open = false;
    if (fds[1].revents & POLLIN)
      reload_on_hangup(hangups, engine);
  }
}

int application(int argc, char** argv) {
  (void)argc, (void)argv;
  openlog(log_ident, LOG_PID, LOG_USER);
  hold_hangups(SIG_BLOCK);
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
  int hangups = take_hangups(global_snmp_conf->display == "none");
  pthread_t threads[4];
  snmp_engine_t* engine = NULL;
  int started = start_threads(threads, screen, screen ? delivery : NULL, hangups >= 0 || screen, &engine);
  if (started < 0)
    return 1;
  if (screen) {
    pthread_join(threads[--started], NULL);  // the display's thread takes the keys, "q" too
  } else {
    // one write, so that no worker output lands between the prompt and its line end
    std::cout << "Press \"q\" for exit ...\n" << std::flush;
    wait_for_q(hangups, engine);
  }
  for (int i = 0; i < started; i++)
    pthread_detach(threads[i]);
  return 0;
}
