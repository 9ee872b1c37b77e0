// A frame of the operator's screen, drawn with ncurses, which keeps what the terminal shows and
// writes only what changed. The display thread calls it under the terminal's lock; it reads the
// value fields through their atomics, texts through get_text_value and the health through
// delivery_health.
#define NCURSES_WIDECHAR 1
#include "drawing.h"

#include <curses.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <wchar.h>

#include <algorithm>
#include <string>

#include "sender.h"
#include "signals.h"
#include "terminal.h"
#include "view.h"

// Columns a reading keeps when names are long: room for a sign, ten digits and two decimals.
static const int reading_room = 16;

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

int draw_page_rows() {
  return std::max(LINES - 3, 0);  // less the summary, the header and the status line
}

// The widest name column the terminal allows: a reading keeps reading_room columns, or half.
static int name_column(int widest) {
  return std::min(widest, std::max(COLS - reading_room, COLS / 2));
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

static void draw_row(const view_t* v, int y, signal_t* sig, int name_cols, int64_t now_ms) {
  std::wstring name = shown_text(sig->name);
  fit(&name, name_cols);
  name.append((size_t)(name_cols - columns(name) + 1), L' ');
  int cols = COLS - name_cols - 1;
  // A signal never read has no reading: a dash, never the 0.00 its fields start at.
  bool never = sig->good_at.load() == 0;
  std::wstring reading = never ? L"-" : reading_text(sig, cols);
  fit(&reading, cols);
  mvaddwstr(y, 0, name.c_str());
  attrset(COLOR_PAIR(never || is_stale(sig, v->conf, now_ms) ? pair_stale : pair_fresh));
  addwstr(reading.c_str());
  attrset(A_NORMAL);
}

static void draw_line(int y, std::wstring text, int cols) {
  fit(&text, cols);
  mvaddwstr(y, 0, text.c_str());
}

static void draw_summary(const view_t* v, const std::vector<size_t>& rows) {
  long never = v->counts[row_never], stale = v->counts[row_stale];
  long total = v->counts[row_fresh] + stale + never;
  std::wstring w = std::to_wstring(total) + L" signals: ";
  if (v->conf && v->conf->stale_after > 0)
    w +=
        std::to_wstring(total - never - stale) + L" fresh, " + std::to_wstring(stale) + L" stale, ";
  else
    w += std::to_wstring(total - never) + L" read, ";
  w += std::to_wstring(never) + L" never read | ";
  if (v->agents > 0)
    w += std::to_wstring(v->in_trouble) + (v->in_trouble == 1 ? L" agent" : L" agents") + L" silent or late | ";
  if (rows.empty())
    w += L"no rows";
  else
    w += L"rows " + std::to_wstring(v->top + 1) + L"-" +
         std::to_wstring(std::min(rows.size(), v->top + (size_t)draw_page_rows())) + L" of " +
         std::to_wstring(rows.size());
  if (!v->filter.empty())
    w += L" | filter \"" + v->filter + L"\"";
  if (v->stale_only)
    w += L" | stale only";
  if (v->health_only)
    w += L" | health only";
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

static void draw_status(const view_t* v, delivery_t* delivery, int64_t now_ms) {
  int y = LINES - 1;
  if (v->typing) {
    std::wstring prompt = L"/" + v->typed;
    draw_line(y, prompt, COLS - 1);
    return;
  }
  delivery_health_t h;
  if (delivery)
    h = delivery_health(delivery);
  std::wstring word, rest;
  health_text(h, &word, &rest);
  bool bad = h.state == delivery_failing || h.state == delivery_ended;
  attrset(A_BOLD | COLOR_PAIR(bad ? pair_bad : pair_good));
  draw_line(y, word, COLS - 1);
  attrset(A_NORMAL);
  std::wstring keys = now_ms < v->note_until ? v->note : L"q quit  / filter  s stale  h health  r reload";
  int room = COLS - 1 - columns(word);
  if (columns(rest) + 2 + columns(keys) <= room)
    rest.append((size_t)(room - columns(rest) - columns(keys)), L' ') += keys;
  fit(&rest, room);
  addwstr(rest.c_str());
}

int draw_widest(const view_t* v) {
  int widest = 0;
  for (size_t i : v->matching)
    widest = std::max(widest, name_columns((*v->table)[i]->name));
  return widest;
}

void draw_frame(const view_t* v, const std::vector<size_t>& rows, int widest,
                delivery_t* delivery, int64_t now_ms) {
  size_t page = (size_t)draw_page_rows();
  int name_cols = name_column(widest);
  erase();
  draw_summary(v, rows);
  draw_header(name_cols);
  for (size_t i = 0; i < page && v->top + i < rows.size(); i++)
    draw_row(v, 2 + (int)i, (*v->table)[rows[v->top + i]], name_cols, now_ms);
  draw_status(v, delivery, now_ms);
  curs_set(v->typing ? 1 : 0);
  refresh();
}
