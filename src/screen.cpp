// The operator's screen, drawn with ncurses, which keeps what the terminal shows and writes only
// what changed. The display thread owns it: every curses call is made under the screen's lock,
// which the exit handler takes too. It reads the value fields and good_at through their atomics,
// texts through get_text_value and the health through delivery_health; the signal handlers only
// write the signal's number into a pipe that the display thread watches.
#define NCURSES_WIDECHAR 1
#include "screen.h"

#include <curses.h>
#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "app.h"
#include "display.h"
#include "sender.h"

// The signals the screen takes; the first four end the run.
static const int caught[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGWINCH};
static const int n_caught = sizeof caught / sizeof caught[0];

struct screen_t {
  const std::vector<signal_t*>* table = NULL;
  const snmp_conf_t* conf = NULL;
  delivery_t* delivery = NULL;
  FILE* out = NULL;
  int in_fd = -1;                 // -1 once the terminal has hung up: no more keys
  int wake = -1;                  // the signal pipe's end to read
  std::mutex lock;                // held around every curses call and the fields below
  bool open = false;              // curses holds the terminal
  int saved_stderr = -1;          // standard error as it was before the screen
  int widest = 0;                 // the widest name, in terminal columns
  std::vector<size_t> matching;   // rows whose name holds the filter, in table order
  std::vector<size_t> old_rows;   // of those, the stale and never-read ones, for stale_only
  std::vector<uint8_t> states;    // each signal's row_state_t when it was last looked at
  long counts[4] = {0, 0, 0, 0};  // signals in each state
  size_t next_look = 0;           // the signal the next frame looks at first
  std::wstring filter;            // as typed; empty: every row
  std::wstring typed;             // the filter being typed after "/"
  bool typing = false;
  bool stale_only = false;
  size_t top = 0;    // the first row in view: an index into the rows shown
  size_t shown = 0;  // how many rows the last frame had to show
};

// The screen that holds the terminal, for the exit handler; the write end of its signal pipe,
// for the signal handlers.
static screen_t* taken = NULL;
static int wake_fd = -1;

static const int64_t frame_ms = 500;
// Columns a reading keeps when names are long: room for a sign, ten digits and two decimals.
static const int reading_room = 16;
// Signals a frame looks at for the counts and "s" (look_at): a table up to this size whole.
static const size_t looks_a_frame = 4096;
// Longest filter, in characters.
static const size_t filter_max = 200;
enum { pair_fresh = 1, pair_stale, pair_header, pair_good, pair_bad };

// Signals are numbered below 256, so one byte each.
static void on_signal(int sig) {
  int saved = errno;
  unsigned char b = (unsigned char)sig;
  if (write(wake_fd, &b, 1) < 0) {  // a full pipe holds signals enough
  }
  errno = saved;
}

// Names are UTF-8 whatever the locale says: with a locale that is not, wide characters use
// C.UTF-8's tables, so wcwidth and ncurses agree with the bytes the table always wrote.
static void use_utf8_ctype() {
  setlocale(LC_CTYPE, "");
  if (strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
    setlocale(LC_CTYPE, "C.UTF-8");
}

static void append_ascii(std::wstring* w, const char* text) {
  while (*text)
    w->push_back((wchar_t)(unsigned char)*text++);
}

// Returns text as the screen shows it: escaped as the table escapes it (visible_text), with a
// line end and a tab as \n and \t so that a row stays one line, a byte that is not UTF-8 as
// \xNN, and a character without a width (wcwidth < 0) as U+FFFD.
static std::wstring shown_text(const std::string& text) {
  std::string visible = visible_text(text);
  std::wstring out;
  mbstate_t state{};
  for (size_t i = 0; i < visible.size();) {
    wchar_t c;
    size_t n = mbrtowc(&c, visible.data() + i, visible.size() - i, &state);
    if (n == (size_t)-1 || n == (size_t)-2 || n == 0) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%02x", (unsigned char)visible[i++]);
      append_ascii(&out, escape);
      state = mbstate_t{};
      continue;
    }
    i += n;
    if (c == L'\n')
      out += L"\\n";
    else if (c == L'\t')
      out += L"\\t";
    else
      out.push_back(wcwidth(c) < 0 ? L'\xfffd' : c);
  }
  return out;
}

// Terminal columns of a text made by shown_text, where every character has a width.
static int columns(const std::wstring& w) {
  int n = 0;
  for (wchar_t c : w)
    n += wcwidth(c);
  return n;
}

// Terminal columns of a name as shown; a name of printable ASCII alone, as most are, shows as it is.
static int name_columns(const std::string& name) {
  for (char c : name)
    if (c < 0x20 || c > 0x7e || c == '\\')
      return columns(shown_text(name));
  return (int)name.size();
}

// Cuts w to at most cols columns, its last one "…" when anything was cut off.
static void fit(std::wstring* w, int cols) {
  if (columns(*w) <= cols)
    return;
  int used = 0;
  size_t keep = 0;
  while (keep < w->size() && used + wcwidth((*w)[keep]) <= cols - 1)
    used += wcwidth((*w)[keep++]);
  w->resize(keep);
  if (cols > 0)
    w->push_back(L'\x2026');
}

static bool shown_type(const signal_t* s) {
  return s->value_type >= 0 && s->value_type <= 3;
}

// What a row's reading is, for the summary's counts and for "s".
enum row_state_t : uint8_t { row_hidden, row_fresh, row_stale, row_never };

static row_state_t state_of(const signal_t* s, const snmp_conf_t* conf, int64_t now_ms) {
  if (!shown_type(s))
    return row_hidden;
  if (s->good_at.load() == 0)
    return row_never;
  return is_stale(s, conf, now_ms) ? row_stale : row_fresh;
}

// Looks at the next n signals (the whole table at most), in turn. Each look reads a signal's
// good_at, mostly a cache miss at 100 000 signals: a frame looks at a part of a big table, so it
// costs the same at any size, and the counts follow the readings over a few frames. A row's
// value type never changes, so hidden rows are passed over; good_at is asked for a few signals
// ahead, so that the misses overlap.
static void look_at(screen_t* s, int64_t now_ms, size_t n) {
  const std::vector<signal_t*>& table = *s->table;
  for (size_t k = 0; k < std::min(n, table.size()); k++) {
    size_t i = s->next_look;
    s->next_look = (i + 1) % table.size();
    __builtin_prefetch(&table[(i + 8) % table.size()]->good_at);
    if (s->states[i] == row_hidden)
      continue;
    row_state_t state = state_of(table[i], s->conf, now_ms);
    s->counts[s->states[i]]--;
    s->counts[state]++;
    s->states[i] = state;
  }
}

static wchar_t folded(wchar_t c) {
  return c < 0x80 ? (c >= L'A' && c <= L'Z' ? c + 32 : c) : (wchar_t)towlower((wint_t)c);
}

// Puts the characters of name into out in lower case; a byte that is not UTF-8 gives U+FFFD.
static void fold_name(const std::string& name, std::wstring* out) {
  out->clear();
  mbstate_t state{};
  for (size_t i = 0; i < name.size();) {
    wchar_t c = (unsigned char)name[i];
    size_t n = c < 0x80 ? 1 : mbrtowc(&c, name.data() + i, name.size() - i, &state);
    if (n == (size_t)-1 || n == (size_t)-2 || n == 0) {
      c = L'\xfffd';
      n = 1;
      state = mbstate_t{};
    }
    out->push_back(folded(c));
    i += n;
  }
}

// The rows whose name holds filter in any case: names never change, so this runs once a filter,
// not once a frame.
static void set_filter(screen_t* s, const std::wstring& filter) {
  s->filter = filter;
  s->top = 0;
  s->matching.clear();
  std::wstring part = filter, name;
  for (wchar_t& c : part)
    c = folded(c);
  const std::vector<signal_t*>& table = *s->table;
  for (size_t i = 0; i < table.size(); i++) {
    if (!shown_type(table[i]))
      continue;
    if (!part.empty()) {
      fold_name(table[i]->name, &name);
      if (name.find(part) == std::wstring::npos)
        continue;
    }
    s->matching.push_back(i);
  }
}

static void show_all(screen_t* s) {
  s->typing = false;
  s->stale_only = false;
  set_filter(s, L"");
}

// The rows a frame shows: those of the filter, and of them only the old ones with "s".
static const std::vector<size_t>& rows_shown(screen_t* s) {
  if (!s->stale_only)
    return s->matching;
  s->old_rows.clear();
  for (size_t i : s->matching)
    if (s->states[i] == row_stale || s->states[i] == row_never)
      s->old_rows.push_back(i);
  return s->old_rows;
}

static int page_rows() {
  return std::max(LINES - 3, 0);  // less the summary, the header and the status line
}

// The widest name column the terminal allows: a reading keeps reading_room columns, or half.
static int name_column(const screen_t* s) {
  return std::min(s->widest, std::max(COLS - reading_room, COLS / 2));
}

// The reading in the table's formats; a text is asked for no more bytes than cols can show.
static std::wstring reading_text(signal_t* s, int cols) {
  char number[64];
  switch (s->value_type) {
    case 0: snprintf(number, sizeof number, "%.2f", (double)s->float_value.load()); break;
    case 1: snprintf(number, sizeof number, "%i", (int)s->int_value.load()); break;
    case 2: snprintf(number, sizeof number, "%s", s->int_value.load() ? "TRUE" : "FALSE"); break;
    default: {
      size_t limit = (size_t)std::max(cols, 0) * 4 + 4;  // 4 bytes at most per column shown
      std::string text = get_text_value(s, limit + 1);
      bool cut = text.size() > limit;
      text.resize(std::min(text.size(), limit));
      return L"\"" + shown_text(text) + (cut ? L"\x2026" : L"\"");
    }
  }
  std::wstring w;
  append_ascii(&w, number);
  return w;
}

static void draw_row(const screen_t* s, int y, signal_t* sig, int name_cols, int64_t now_ms) {
  std::wstring name = shown_text(sig->name);
  fit(&name, name_cols);
  name.append((size_t)(name_cols - columns(name) + 1), L' ');
  int cols = COLS - name_cols - 1;
  std::wstring reading = reading_text(sig, cols);
  fit(&reading, cols);
  mvaddwstr(y, 0, name.c_str());
  attrset(COLOR_PAIR(is_stale(sig, s->conf, now_ms) ? pair_stale : pair_fresh));
  addwstr(reading.c_str());
  attrset(A_NORMAL);
}

static void draw_line(int y, std::wstring text, int cols) {
  fit(&text, cols);
  mvaddwstr(y, 0, text.c_str());
}

static void draw_summary(const screen_t* s, const std::vector<size_t>& rows) {
  long never = s->counts[row_never], stale = s->counts[row_stale];
  long total = s->counts[row_fresh] + stale + never;
  std::wstring w = std::to_wstring(total) + L" signals: ";
  if (s->conf && s->conf->stale_after > 0)
    w +=
        std::to_wstring(total - never - stale) + L" fresh, " + std::to_wstring(stale) + L" stale, ";
  else
    w += std::to_wstring(total - never) + L" read, ";
  w += std::to_wstring(never) + L" never read | ";
  if (rows.empty())
    w += L"no rows";
  else
    w += L"rows " + std::to_wstring(s->top + 1) + L"-" +
         std::to_wstring(std::min(rows.size(), s->top + (size_t)page_rows())) + L" of " +
         std::to_wstring(rows.size());
  if (!s->filter.empty())
    w += L" | filter \"" + s->filter + L"\"";
  if (s->stale_only)
    w += L" | stale only";
  draw_line(0, w, COLS);
}

static void draw_header(int name_cols) {
  std::wstring w = L"Name";
  w.append((size_t)std::max(name_cols + 1 - 4, 1), L' ');
  attrset(A_BOLD | COLOR_PAIR(pair_header));
  draw_line(1, w + L"Value", COLS);
  attrset(A_NORMAL);
}

// "14:03:22", with the date before it when that is not today's.
static std::wstring clock_text(int64_t wall_ms) {
  time_t t = (time_t)(wall_ms / 1000), today = time(NULL);
  tm at, now;
  localtime_r(&t, &at);
  localtime_r(&today, &now);
  char text[32];
  strftime(
      text, sizeof text,
      at.tm_yday == now.tm_yday && at.tm_year == now.tm_year ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S",
      &at);
  std::wstring w;
  append_ascii(&w, text);
  return w;
}

// "Connection refused": the system's text for the client's code, a negative errno.
static std::wstring error_text(int error) {
  char buf[128];
  std::wstring w;
  append_ascii(&w, strerror_r(-error, buf, sizeof buf));
  return w;
}

static std::wstring failures_text(long n) {
  return std::to_wstring(n) + (n == 1 ? L" failure" : L" failures");
}

// The state's word, then the rest of the status line.
static void health_text(const delivery_health_t& h, std::wstring* word, std::wstring* rest) {
  switch (h.state) {
    case delivery_starting:
      *word = L"delivery";
      *rest = L" starts with the first pass";
      break;
    case delivery_ok:
      *word = L"delivering:";
      *rest = L" " + std::to_wstring((long)(h.lines_per_s + 0.5)) + L" lines a second, last pass " +
              clock_text(h.last_pass);
      break;
    case delivery_failing:
      *word = L"failing:";
      *rest = L" " + std::to_wstring(h.error) + L" since " + clock_text(h.failing_since) + L", " +
              failures_text(h.failures);
      if (h.next_try)
        *rest += L", next try " + clock_text(h.next_try);
      *rest += L" (" + error_text(h.error) + L")";
      break;
    case delivery_ended:
      *word = L"ended";
      *rest = L" " + clock_text(h.ended_at) + L" after " + failures_text(h.failures) + L": " +
              std::to_wstring(h.error) + L" (" + error_text(h.error) + L")";
      break;
  }
}

static void draw_status(screen_t* s) {
  int y = LINES - 1;
  if (s->typing) {
    std::wstring prompt = L"/" + s->typed;
    draw_line(y, prompt, COLS - 1);
    return;
  }
  delivery_health_t h;
  if (s->delivery)
    h = delivery_health(s->delivery);
  std::wstring word, rest;
  health_text(h, &word, &rest);
  bool bad = h.state == delivery_failing || h.state == delivery_ended;
  attrset(A_BOLD | COLOR_PAIR(bad ? pair_bad : pair_good));
  draw_line(y, word, COLS - 1);
  attrset(A_NORMAL);
  std::wstring keys = L"q quit  / filter  s stale";
  int room = COLS - 1 - columns(word);
  if (columns(rest) + 2 + columns(keys) <= room)
    rest.append((size_t)(room - columns(rest) - columns(keys)), L' ') += keys;
  fit(&rest, room);
  addwstr(rest.c_str());
}

void screen_frame(screen_t* s, int64_t now_ms) {
  std::lock_guard<std::mutex> hold(s->lock);
  if (!s->open)
    return;
  look_at(s, now_ms, looks_a_frame);
  const std::vector<size_t>& rows = rows_shown(s);
  size_t page = (size_t)page_rows();
  s->shown = rows.size();
  s->top = std::min(s->top, rows.size() - std::min(rows.size(), page));
  int name_cols = name_column(s);
  erase();
  draw_summary(s, rows);
  draw_header(name_cols);
  for (size_t i = 0; i < page && s->top + i < rows.size(); i++)
    draw_row(s, 2 + (int)i, (*s->table)[rows[s->top + i]], name_cols, now_ms);
  draw_status(s);
  curs_set(s->typing ? 1 : 0);
  refresh();
}

// Moves the view by delta rows, within the rows the last frame had.
static void scroll_by(screen_t* s, long delta) {
  size_t page = (size_t)page_rows();
  size_t last_top = s->shown - std::min(s->shown, page);
  if (delta < 0)
    s->top = s->top > (size_t)-delta ? s->top - (size_t)-delta : 0;
  else
    s->top = std::min(s->top + (size_t)delta, last_top);
}

static void filter_key(screen_t* s, wint_t key, bool function_key) {
  if ((!function_key && (key == L'\r' || key == L'\n')) || (function_key && key == KEY_ENTER)) {
    s->typing = false;
    set_filter(s, s->typed);
  } else if (!function_key && key == 27) {
    show_all(s);
  } else if ((function_key && key == KEY_BACKSPACE) ||
             (!function_key && (key == 127 || key == 8))) {
    if (!s->typed.empty())
      s->typed.pop_back();
  } else if (!function_key && iswprint(key) && s->typed.size() < filter_max) {
    s->typed.push_back((wchar_t)key);
  }
}

bool screen_key(screen_t* s, wint_t key, bool function_key) {
  std::lock_guard<std::mutex> hold(s->lock);
  long page = std::max(page_rows(), 1);
  if (s->typing) {
    filter_key(s, key, function_key);
    return true;
  }
  if (function_key) {
    switch (key) {
      case KEY_UP: scroll_by(s, -1); break;
      case KEY_DOWN: scroll_by(s, 1); break;
      case KEY_PPAGE: scroll_by(s, -page); break;
      case KEY_NPAGE: scroll_by(s, page); break;
      case KEY_HOME: s->top = 0; break;
      case KEY_END: scroll_by(s, (long)s->shown); break;
    }
    return true;
  }
  switch (key) {
    case L'q': return false;
    case L'b': scroll_by(s, -page); break;
    case L' ': scroll_by(s, page); break;
    case L'g': s->top = 0; break;
    case L'G': scroll_by(s, (long)s->shown); break;
    case L'/':
      s->typing = true;
      s->typed.clear();
      break;
    case L's':
      s->stale_only = !s->stale_only;
      s->top = 0;
      break;
    case 27: show_all(s); break;
  }
  return true;
}

// Ctrl-S would stop the terminal's output, and with it the display thread inside a write.
static void no_flow_control(int fd) {
  termios t;
  if (tcgetattr(fd, &t) == 0) {
    t.c_iflag &= ~(tcflag_t)IXON;
    tcsetattr(fd, TCSANOW, &t);
  }
}

static void start_colours() {
  if (!has_colors())
    return;
  start_color();
  short back = use_default_colors() == OK ? -1 : COLOR_BLACK;
  init_pair(pair_fresh, COLOR_CYAN, back);
  init_pair(pair_stale, COLOR_YELLOW, back);
  init_pair(pair_header, COLOR_BLUE, back);
  init_pair(pair_good, COLOR_GREEN, back);
  init_pair(pair_bad, COLOR_RED, back);
}

screen_t* screen_new(FILE* in, FILE* out, const std::vector<signal_t*>& table,
                     const snmp_conf_t* conf, delivery_t* delivery) {
  use_utf8_ctype();
  use_env(FALSE);  // the size is the terminal's, never $LINES and $COLUMNS
  use_tioctl(TRUE);
  SCREEN* term = newterm(NULL, out, in);
  if (!term)
    return NULL;
  set_term(term);
  cbreak();
  noecho();
  nonl();
  intrflush(stdscr, FALSE);
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  set_escdelay(25);  // ms after Esc before it counts as the key alone
  start_colours();
  no_flow_control(fileno(in));
  def_prog_mode();
  screen_t* s = new screen_t;  // lives until the process ends, as the table does
  s->table = &table;
  s->conf = conf;
  s->delivery = delivery;
  s->out = out;
  s->in_fd = fileno(in);
  for (signal_t* sig : table)
    if (shown_type(sig))
      s->widest = std::max(s->widest, name_columns(sig->name));
  set_filter(s, L"");
  s->states.assign(table.size(), row_hidden);
  for (size_t i = 0; i < table.size(); i++)
    if (shown_type(table[i])) {
      s->states[i] = row_never;
      s->counts[row_never]++;
    }
  look_at(s, monotonic_ms(), table.size());
  s->open = true;
  return s;
}

static void catch_signal(int sig) {
  struct sigaction on = {};
  on.sa_handler = on_signal;
  on.sa_flags = SA_RESTART;
  sigemptyset(&on.sa_mask);
  sigaction(sig, &on, NULL);
}

// Catches the screen's signals, keeping the actions before; one that is ignored (nohup's
// SIGHUP) stays ignored.
static void catch_signals(struct sigaction before[n_caught]) {
  for (int i = 0; i < n_caught; i++)
    if (sigaction(caught[i], NULL, &before[i]) == 0 && before[i].sa_handler != SIG_IGN)
      catch_signal(caught[i]);
}

// Puts the actions before back, and raises again what arrived meanwhile.
static void uncatch_signals(const struct sigaction before[n_caught], int wake) {
  for (int i = 0; i < n_caught; i++)
    sigaction(caught[i], &before[i], NULL);
  unsigned char sig;
  while (read(wake, &sig, 1) == 1)
    raise(sig);
}

static void close_at_exit() {
  screen_close(taken);
}

screen_t* screen_open(const std::vector<signal_t*>& table, const snmp_conf_t* conf,
                      delivery_t* delivery) {
  if (!conf || conf->display != "screen" || !isatty(0) || !isatty(1))
    return NULL;
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
    return NULL;
  wake_fd = wake[1];
  struct sigaction before[n_caught];
  catch_signals(before);  // first: ncurses leaves alone the signals caught before it starts
  screen_t* s = screen_new(stdin, stdout, table, conf, delivery);
  if (!s) {
    uncatch_signals(before, wake[0]);
    close(wake[0]);
    close(wake[1]);
    const char* term = getenv("TERM");
    fprintf(
        stderr,
        "morvane: display \"screen\" cannot drive the terminal \"%s\" (TERM); the table instead\n",
        term ? term : "");
    return NULL;
  }
  s->wake = wake[0];
  taken = s;
  atexit(close_at_exit);
  s->saved_stderr = silence_stderr();
  return s;
}

void screen_close(screen_t* s) {
  if (!s)
    return;
  std::lock_guard<std::mutex> hold(s->lock);
  if (!s->open)
    return;
  s->open = false;
  // a blank screen to leave: tmux, resized meanwhile, would keep lines of a full one above the
  // shell's own
  erase();
  refresh();
  endwin();
  fflush(s->out);
  if (s->saved_stderr >= 0)
    dup2(s->saved_stderr, 2);
}

static void follow_size(screen_t* s) {
  winsize size;
  std::lock_guard<std::mutex> hold(s->lock);
  if (s->open && ioctl(fileno(s->out), TIOCGWINSZ, &size) == 0 && size.ws_row > 0 &&
      size.ws_col > 0)
    resizeterm(size.ws_row, size.ws_col);
}

// Gives the terminal to the shell while the process is stopped, and takes it back after.
static void suspend(screen_t* s) {
  {
    std::lock_guard<std::mutex> hold(s->lock);
    if (!s->open)
      return;
    endwin();
  }
  signal(SIGTSTP, SIG_DFL);
  raise(SIGTSTP);  // returns once continued
  catch_signal(SIGTSTP);
  std::lock_guard<std::mutex> hold(s->lock);
  if (s->open)
    clearok(curscr, TRUE);  // the next frame repaints whatever the shell wrote
}

// Handles the signals that have arrived; one that ends the run ends it here.
static void take_signals(screen_t* s) {
  unsigned char sig;
  while (read(s->wake, &sig, 1) == 1) {
    if (sig == SIGWINCH) {
      follow_size(s);
    } else if (sig == SIGTSTP) {
      suspend(s);
    } else {
      screen_close(s);
      signal(sig, SIG_DFL);
      raise(sig);
    }
  }
}

// Reads every key waiting; false after "q".
static bool take_keys(screen_t* s) {
  for (;;) {
    wint_t key;
    int rc;
    {
      std::lock_guard<std::mutex> hold(s->lock);
      if (!s->open)
        return true;
      rc = get_wch(&key);
    }
    if (rc == ERR)
      return true;
    if (!screen_key(s, key, rc == KEY_CODE_YES))
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
    pollfd fds[2] = {{s->in_fd, POLLIN, 0}, {s->wake, POLLIN, 0}};
    if (poll(fds, 2, (int)(next - now)) <= 0)
      continue;
    if (fds[1].revents & POLLIN) {
      take_signals(s);
      next = 0;
    }
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      s->in_fd = -1;  // the terminal is gone; the frames go on, as the table's would
    } else if (fds[0].revents & POLLIN) {
      if (!take_keys(s)) {
        screen_close(s);
        return;
      }
      next = 0;
    }
  }
}
