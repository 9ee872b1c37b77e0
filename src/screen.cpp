// The operator's screen: the display thread's loop of frames, keys and signals over the terminal
// (terminal.cpp), the view (view.cpp) and the drawing (drawing.cpp). The display thread owns it;
// every curses call and every change to the view is made under the terminal's lock.
#define NCURSES_WIDECHAR 1
#include "screen.h"

#include <curses.h>
#include <poll.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>

#include "drawing.h"
#include "health.h"
#include "signals.h"
#include "terminal.h"
#include "view.h"

struct screen_t {
  terminal_t term;
  std::shared_ptr<const table_t> table;  // the version in view
  bool follows = false;  // a newer version of the table, as rows come and go, comes into view
  view_t view;
  delivery_t* delivery = NULL;
  int widest = 0;  // the widest name, in terminal columns
  int (*reload)(void*) = NULL;  // the key "r"
  void* reload_arg = NULL;
};

static const int64_t frame_ms = 500;
// Signals a frame looks at for the counts and "s" (view_look): a table up to this size whole.
static const size_t looks_a_frame = 4096;
// Longest filter, in characters.
static const size_t filter_max = 200;

static void start_view(screen_t* s, std::shared_ptr<const table_t> table, const snmp_conf_t* conf,
                       delivery_t* delivery) {
  s->table = table;
  view_init(&s->view, s->table->signals, conf, monotonic_ms());
  s->widest = draw_widest(&s->view);
  s->delivery = delivery;
}

screen_t* screen_new(FILE* in, FILE* out, const std::vector<signal_t*>& table,
                     const snmp_conf_t* conf, delivery_t* delivery) {
  screen_t* s = new screen_t;  // lives until the process ends, as the table does
  if (!terminal_start(&s->term, in, out)) {
    delete s;
    return NULL;
  }
  std::shared_ptr<table_t> fixed = std::make_shared<table_t>();
  fixed->signals = table;
  start_view(s, fixed, conf, delivery);
  return s;
}

screen_t* screen_open(const snmp_conf_t* conf, delivery_t* delivery) {
  if (!conf || conf->display != "screen" || !isatty(0) || !isatty(1))
    return NULL;
  screen_t* s = new screen_t;
  if (!terminal_take(&s->term)) {
    delete s;
    return NULL;
  }
  s->follows = true;
  start_view(s, table_now(), conf, delivery);
  return s;
}

void screen_close(screen_t* s) {
  if (s)
    terminal_close(&s->term);
}

void screen_frame(screen_t* s, int64_t now_ms) {
  std::lock_guard<std::mutex> hold(s->term.lock);
  if (!s->term.open)
    return;
  std::shared_ptr<const table_t> newest = s->follows ? table_now() : s->table;
  if (newest != s->table) {
    s->table = newest;
    s->view.conf = &s->table->loaded->conf;  // a reload's stale_after, once in force
    view_retable(&s->view, s->table->signals, now_ms);
    s->widest = draw_widest(&s->view);
  }
  view_look(&s->view, now_ms, looks_a_frame);
  s->view.in_trouble = agents_in_trouble(&s->view.agents);
  const std::vector<size_t>& rows = view_rows(&s->view);
  view_fit(&s->view, rows.size(), (size_t)draw_page_rows());
  draw_frame(&s->view, rows, s->widest, s->delivery, now_ms);
}

static void filter_key(view_t* v, wint_t key, bool function_key) {
  if ((!function_key && (key == L'\r' || key == L'\n')) || (function_key && key == KEY_ENTER)) {
    v->typing = false;
    view_filter(v, v->typed);
  } else if (!function_key && key == 27) {
    view_show_all(v);
  } else if ((function_key && key == KEY_BACKSPACE) ||
             (!function_key && (key == 127 || key == 8))) {
    if (!v->typed.empty())
      v->typed.pop_back();
  } else if (!function_key && iswprint(key) && v->typed.size() < filter_max) {
    v->typed.push_back((wchar_t)key);
  }
}

bool screen_key(screen_t* s, wint_t key, bool function_key) {
  std::lock_guard<std::mutex> hold(s->term.lock);
  view_t* v = &s->view;
  size_t rows = (size_t)draw_page_rows();
  long page = std::max((long)rows, 1L);
  if (v->typing) {
    filter_key(v, key, function_key);
    return true;
  }
  if (function_key) {
    switch (key) {
      case KEY_UP: view_scroll(v, -1, rows); break;
      case KEY_DOWN: view_scroll(v, 1, rows); break;
      case KEY_PPAGE: view_scroll(v, -page, rows); break;
      case KEY_NPAGE: view_scroll(v, page, rows); break;
      case KEY_HOME: v->top = 0; break;
      case KEY_END: view_scroll(v, (long)v->shown, rows); break;
    }
    return true;
  }
  switch (key) {
    case L'q': return false;
    case L'b': view_scroll(v, -page, rows); break;
    case L' ': view_scroll(v, page, rows); break;
    case L'g': v->top = 0; break;
    case L'G': view_scroll(v, (long)v->shown, rows); break;
    case L'/':
      v->typing = true;
      v->typed.clear();
      break;
    case L's':
      v->stale_only = !v->stale_only;
      v->top = 0;
      break;
    case L'h':
      v->health_only = !v->health_only;
      v->top = 0;
      break;
    case 27: view_show_all(v); break;
  }
  return true;
}

void screen_reloads(screen_t* s, int (*reload)(void*), void* arg) {
  s->reload = reload;
  s->reload_arg = arg;
}

// The key "r": the reload runs without the terminal's lock, as it may take a while; its outcome
// is said for 5 s (its lines go to the system log: standard error is silenced).
static void reload_key(screen_t* s) {
  int rc = s->reload(s->reload_arg);
  std::lock_guard<std::mutex> hold(s->term.lock);
  s->view.note = rc == 0 ? L"morvane.conf reloaded" : L"morvane.conf refused: see the system log";
  s->view.note_until = monotonic_ms() + 5000;
}

// Reads every key waiting; false after "q".
static bool take_keys(screen_t* s) {
  for (;;) {
    wint_t key;
    int rc;
    bool typing;
    {
      std::lock_guard<std::mutex> hold(s->term.lock);
      if (!s->term.open)
        return true;
      rc = get_wch(&key);
      typing = s->view.typing;
    }
    if (rc == ERR)
      return true;
    if (rc != KEY_CODE_YES && key == L'r' && !typing && s->reload)
      reload_key(s);
    else if (!screen_key(s, key, rc == KEY_CODE_YES))
      return false;
  }
}

void screen_run(screen_t* s) {
  int64_t next = 0;
  for (;;) {
    int64_t now = monotonic_ms();
    if (now >= next) {
      screen_frame(s, now);
      next = now + frame_ms;
    }
    pollfd fds[2] = {{s->term.in_fd, POLLIN, 0}, {s->term.wake, POLLIN, 0}};
    if (poll(fds, 2, (int)(next - now)) <= 0)
      continue;
    if (fds[1].revents & POLLIN) {
      terminal_take_signals(&s->term);
      next = 0;
    }
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      s->term.in_fd = -1;  // the terminal is gone; the frames go on, as the table's would
    } else if (fds[0].revents & POLLIN) {
      if (!take_keys(s)) {
        screen_close(s);
        return;
      }
      next = 0;
    }
  }
}
