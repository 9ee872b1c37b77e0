// The signal table and the global overrides, and the helpers every floor uses: the text
// reading's lock, the monotonic clock, standard error silenced, staleness.
#include "signals.h"

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

// Allocated once and never freed: the workers may still read it while the process exits.
std::vector<signal_t*>& signalsVector = *new std::vector<signal_t*>;
snmp_conf_t* global_snmp_conf = NULL;

std::string get_text_value(signal_t* s, size_t max_bytes) {
  std::lock_guard<std::mutex> hold(s->text_lock);
  return s->text_value.substr(0, max_bytes);
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

int silence_stderr() {
  fflush(stderr);
  int saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, 2);
    close(null);
  }
  return saved;
}

bool is_stale(const signal_t* s, const snmp_conf_t* conf, int64_t now_ms) {
  if (!conf || conf->stale_after <= 0)
    return false;
  int64_t at = s->good_at.load();
  return at == 0 || now_ms - at > conf->stale_after;
}
