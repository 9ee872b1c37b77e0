// What the operator's screen shows of the table: the rows of the filter, of them the stale ones
// alone, the page in view, and how many signals are fresh, stale or never read. No curses here:
// the page's size comes from the caller.
#ifndef MORVANE_VIEW_H
#define MORVANE_VIEW_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct signal_t;
struct snmp_conf_t;

// What a row's reading is, for the counts and for stale only.
enum row_state_t : uint8_t { row_hidden, row_fresh, row_stale, row_never };

struct view_t {
  const std::vector<signal_t*>* table = NULL;
  const snmp_conf_t* conf = NULL;
  std::vector<size_t> matching;   // rows whose name holds the filter, in table order
  std::vector<size_t> old_rows;   // of those, the stale and never-read ones, for stale_only
  std::vector<uint8_t> states;    // each signal's row_state_t when it was last looked at
  long counts[4] = {0, 0, 0, 0};  // signals in each state
  size_t next_look = 0;           // the signal the next view_look looks at first
  std::wstring filter;            // as typed; empty: every row
  std::wstring typed;             // the filter being typed after "/"
  bool typing = false;
  bool stale_only = false;
  bool health_only = false;  // only morvane's own figures (call type 4)
  long agents = 0;           // agents known to morvane's health, and of them
  long in_trouble = 0;       // those silent or late now (the frame's caller counts them)
  size_t top = 0;    // the first row in view: an index into the rows shown
  size_t shown = 0;  // how many rows the last frame had to show
  std::wstring note;     // said on the status line in place of the keys, until note_until
  int64_t note_until = 0;  // monotonic ms
};

// Makes v show every signal of table whose value type is shown (0 to 3), each counted as it is
// at now_ms.
void view_init(view_t* v, const std::vector<signal_t*>& table, const snmp_conf_t* conf,
               int64_t now_ms);
// Makes v show table, a new version of its table, with its filter, stale only and first row kept.
void view_retable(view_t* v, const std::vector<signal_t*>& table, int64_t now_ms);
// Looks at the next n signals (the whole table at most), in turn, for the counts and stale
// only: a frame that looks at a part of a big table costs the same at any size.
void view_look(view_t* v, int64_t now_ms, size_t n);
// Shows the rows whose name holds filter in any case (empty: all), from the first.
void view_filter(view_t* v, const std::wstring& filter);
// Drops the filter, the one being typed, stale only and health only.
void view_show_all(view_t* v);
// Returns the table indexes of the rows a frame shows: the filter's, and of them the stale and
// never-read ones under stale only, the figures of morvane's own under health only. Valid until
// the next call.
const std::vector<size_t>& view_rows(view_t* v);
// Takes n as the rows the frame has to show, and keeps a page of page rows within them.
void view_fit(view_t* v, size_t n, size_t page);
// Moves the first row in view by delta rows, within the rows the last frame had.
void view_scroll(view_t* v, long delta, size_t page);

#endif
