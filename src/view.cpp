// What the operator's screen shows: the filter's rows, stale only, the page in view, the counts.
// Only the display thread uses a view, under the terminal's lock; it reads good_at through its
// atomic.
#include "view.h"

#include <wchar.h>
#include <wctype.h>

#include <algorithm>

#include "signals.h"

static bool shown_type(const signal_t* s) {
  return s->value_type >= 0 && s->value_type <= 3;
}

static row_state_t state_of(const signal_t* s, const snmp_conf_t* conf, int64_t now_ms) {
  if (!shown_type(s))
    return row_hidden;
  if (s->good_at.load() == 0)
    return row_never;
  return is_stale(s, conf, now_ms) ? row_stale : row_fresh;
}

void view_init(view_t* v, const std::vector<signal_t*>& table, const snmp_conf_t* conf,
               int64_t now_ms) {
  v->table = &table;
  v->conf = conf;
  view_filter(v, L"");
  v->states.assign(table.size(), row_hidden);
  for (size_t i = 0; i < table.size(); i++)
    if (shown_type(table[i])) {
      v->states[i] = row_never;
      v->counts[row_never]++;
    }
  view_look(v, now_ms, table.size());
}

void view_retable(view_t* v, const std::vector<signal_t*>& table, int64_t now_ms) {
  std::wstring filter = v->filter;
  size_t top = v->top;
  std::fill(v->counts, v->counts + 4, 0);
  v->next_look = 0;
  view_init(v, table, v->conf, now_ms);
  view_filter(v, filter);
  v->top = top;  // kept within the rows by the frame's view_fit
}

// Each look reads a signal's good_at, mostly a cache miss at 100 000 signals. A row's value
// type never changes, so hidden rows are passed over; good_at is asked for a few signals ahead,
// so that the misses overlap.
void view_look(view_t* v, int64_t now_ms, size_t n) {
  const std::vector<signal_t*>& table = *v->table;
  for (size_t k = 0; k < std::min(n, table.size()); k++) {
    size_t i = v->next_look;
    v->next_look = (i + 1) % table.size();
    __builtin_prefetch(&table[(i + 8) % table.size()]->good_at);
    if (v->states[i] == row_hidden)
      continue;
    row_state_t state = state_of(table[i], v->conf, now_ms);
    v->counts[v->states[i]]--;
    v->counts[state]++;
    v->states[i] = state;
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

// Names never change, so this runs once a filter, not once a frame.
void view_filter(view_t* v, const std::wstring& filter) {
  v->filter = filter;
  v->top = 0;
  v->matching.clear();
  std::wstring part = filter, name;
  for (wchar_t& c : part)
    c = folded(c);
  const std::vector<signal_t*>& table = *v->table;
  for (size_t i = 0; i < table.size(); i++) {
    if (!shown_type(table[i]))
      continue;
    if (!part.empty()) {
      fold_name(table[i]->name, &name);
      if (name.find(part) == std::wstring::npos)
        continue;
    }
    v->matching.push_back(i);
  }
}

void view_show_all(view_t* v) {
  v->typing = false;
  v->stale_only = false;
  v->health_only = false;
  view_filter(v, L"");
}

const std::vector<size_t>& view_rows(view_t* v) {
  if (!v->stale_only && !v->health_only)
    return v->matching;
  v->old_rows.clear();
  for (size_t i : v->matching) {
    bool old = v->states[i] == row_stale || v->states[i] == row_never;
    if ((!v->stale_only || old) && (!v->health_only || (*v->table)[i]->call_type == 4))
      v->old_rows.push_back(i);
  }
  return v->old_rows;
}

void view_fit(view_t* v, size_t n, size_t page) {
  v->shown = n;
  v->top = std::min(v->top, n - std::min(n, page));
}

void view_scroll(view_t* v, long delta, size_t page) {
  size_t last_top = v->shown - std::min(v->shown, page);
  if (delta < 0)
    v->top = v->top > (size_t)-delta ? v->top - (size_t)-delta : 0;
  else
    v->top = std::min(v->top + (size_t)delta, last_top);
}
