// The signal table and the global overrides, and the helpers every floor uses: the text
// reading's lock, the monotonic clock, standard error silenced, staleness, the engine chosen,
// texts made safe for a terminal.
#include "signals.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>

// Allocated once and never freed: the workers may still read it while the process exits.
std::vector<signal_t*>& signalsVector = *new std::vector<signal_t*>;
snmp_conf_t* global_snmp_conf = NULL;

// The version in force, read and swapped through the atomic functions of shared_ptr; null until
// the first is published, the loaded table standing for it. Never destroyed, as the table.
static std::shared_ptr<const table_t>& published = *new std::shared_ptr<const table_t>;

std::shared_ptr<const table_t> table_now() {
  std::shared_ptr<const table_t> t = std::atomic_load(&published);
  if (t)
    return t;
  std::shared_ptr<loaded_t> loaded = std::make_shared<loaded_t>();
  loaded->signals = signalsVector;
  if (global_snmp_conf)
    loaded->conf = *global_snmp_conf;
  std::shared_ptr<table_t> first = std::make_shared<table_t>();
  first->signals = signalsVector;
  first->loaded = loaded;
  std::shared_ptr<const table_t> none;
  std::atomic_compare_exchange_strong(&published, &none, std::shared_ptr<const table_t>(first));
  return std::atomic_load(&published);
}

// A publish wakes the threads that wait for one; never destroyed either.
static std::mutex& publish_lock = *new std::mutex;
static std::condition_variable& publish_wake = *new std::condition_variable;

void publish_table(std::shared_ptr<const table_t> table) {
  std::lock_guard<std::mutex> hold(publish_lock);
  std::atomic_store(&published, std::move(table));
  publish_wake.notify_all();
}

void wait_for_publish(const std::shared_ptr<const table_t>& seen) {
  std::unique_lock<std::mutex> hold(publish_lock);
  publish_wake.wait(hold, [&] { return std::atomic_load(&published) != seen; });
}

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

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
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

bool builtin_engine(const snmp_conf_t* conf) {
  return conf && conf->snmp_engine == "builtin";
}

bool is_stale(const signal_t* s, const snmp_conf_t* conf, int64_t now_ms) {
  if (!conf || conf->stale_after <= 0)
    return false;
  int64_t at = s->good_at.load();
  if (at != 0 && s->call_type == 4)
    return false;  // morvane answers its own figures: one that was read is never stale
  return at == 0 || now_ms - at > conf->stale_after;
}

void say(int priority, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  fprintf(stderr, "%s\n", line);
  syslog(priority, "%s", line);
}

// Appends the escape for byte c: \\ for a backslash, \xNN for any other byte.
static void append_escape(std::string* out, unsigned char c) {
  static const char hex[] = "0123456789abcdef";
  out->push_back('\\');
  if (c == '\\') {
    out->push_back('\\');
    return;
  }
  out->push_back('x');
  out->push_back(hex[c >> 4]);
  out->push_back(hex[c & 15]);
}

static bool needs_escape(unsigned char c) {
  return (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f || c == '\\';
}

// True for the UTF-8 form of a C1 control (U+0080..U+009F: C2 80..C2 9F) starting at text[i];
// a terminal that honours 8-bit controls takes U+009B as CSI and U+009D as OSC.
static bool c1_control_at(const std::string& text, size_t i) {
  return (unsigned char)text[i] == 0xc2 && i + 1 < text.size() &&
         (unsigned char)text[i + 1] >= 0x80 && (unsigned char)text[i + 1] <= 0x9f;
}

std::string visible_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = text[i];
    if (c1_control_at(text, i)) {
      append_escape(&out, c);
      append_escape(&out, (unsigned char)text[++i]);
    } else if (needs_escape(c)) {
      append_escape(&out, c);
    } else {
      out.push_back((char)c);
    }
  }
  return out;
}
