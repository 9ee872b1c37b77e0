// Walked columns' rows: each row a signal made from its column's settings, numbered once by its
// label (or its index without label_oid) and remembered in the numbers file, and the table's
// versions published as rows come and go. The thread that walks owns every column and the book.
#include "rows.h"

#include <stdio.h>
#include <syslog.h>

#include <mutex>
#include <set>

#include "signals.h"

static const int32_t default_walk_period = 60000;  // ms

// Two columns of one agent's object (by v1 and v2c, say) are two series: the key holds the
// signum the rows are numbered from.
static column_key_t key_of(const column_t* c) {
  return {c->signal->ip_addr, c->signal->oid + "@" + std::to_string(c->signal->signum)};
}

// A remembered number that a signal of morvane.conf now holds is forgotten, with one line.
static void forget_signums(book_t* book) {
  for (auto& column : book->numbers)
    for (auto row = column.second.begin(); row != column.second.end();) {
      if (book->held.count(row->second)) {
        say(LOG_NOTICE, "morvane: %s: signum %d of row \"%s\" is now a signal's in morvane.conf; the row takes another",
            book->path.c_str(), row->second, visible_text(row->first).c_str());
        row = column.second.erase(row);
        book->changed = true;
        continue;
      }
      ++row;
    }
}

static void hold(book_t* book, int32_t n, int by) {
  if ((book->held[n] += by) <= 0)
    book->held.erase(n);
}

void book_open(book_t* book, const std::string& path, const std::vector<int32_t>& signums) {
  book->path = path;
  read_numbers(path, &book->numbers);
  book->signums = signums;
  for (int32_t n : signums)
    hold(book, n, 1);
  forget_signums(book);
  for (auto& column : book->numbers)
    for (auto& row : column.second)
      hold(book, row.second, 1);
}

void book_sign(book_t* book, const std::vector<int32_t>& signums) {
  for (int32_t n : book->signums)
    hold(book, n, -1);
  book->signums = signums;
  for (int32_t n : signums)
    hold(book, n, 1);
  for (auto& column : book->numbers)
    for (auto& row : column.second)
      hold(book, row.second, -1);
  forget_signums(book);
  for (auto& column : book->numbers)
    for (auto& row : column.second)
      hold(book, row.second, 1);
}

column_t* column_new(signal_t* s, const std::string& label_oid, const std::string& where, book_t* book) {
  column_t* c = new column_t;  // lives with its signal, for good
  c->signal = s;
  c->label_oid = label_oid;
  c->where = where;
  c->book = book;
  s->column = c;
  return c;
}

bool walk_due(const column_t* c, const snmp_conf_t* conf, int64_t now_ms) {
  int32_t period = conf && conf->walk_period > 0 ? conf->walk_period : default_walk_period;
  return c->due || !c->walked_ms || now_ms - c->walked_ms >= period;
}

void copy_settings(const signal_t* from, signal_t* to) {
  to->id = from->id;
  to->dev_name = from->dev_name;
  to->dev_id = from->dev_id;
  to->cmd = from->cmd;
  to->call_type = from->call_type;
  to->snmp_timeout = from->snmp_timeout;
  to->snmp_num_retries = from->snmp_num_retries;
  to->snmp_sec_level = from->snmp_sec_level;
  to->snmp_priv_prot = from->snmp_priv_prot;
  to->snmp_priv_pphrase = from->snmp_priv_pphrase;
  to->snmp_auth_prot = from->snmp_auth_prot;
  to->snmp_auth_pphrase = from->snmp_auth_pphrase;
  to->snmp_user = from->snmp_user;
  to->ip_addr = from->ip_addr;
  to->snmp_community = from->snmp_community;
  to->snmp_context = from->snmp_context;
  to->value_type = from->value_type;
  to->divider = from->divider;
  to->active_value = from->active_value;
  to->inactive_value = from->inactive_value;
}

// A row's key: its label, or its index without one; of rows with one label, the first in the
// agent's order keeps the label and the others add their index. A key made so, or the index of
// a row whose label the walk did not find, is derived: the row is kept by it while it lives but
// not remembered, as such keys come and go with the indexes (process IDs, a table that changed
// under the walk) and would fill the numbers file.
struct row_key_t {
  std::string text;
  bool derived = false;
};

static std::shared_ptr<signal_t> new_row(column_t* c, const std::string& key, const row_t& row, int32_t number) {
  signal_t* s = new signal_t;
  copy_settings(c->signal, s);
  s->name = c->signal->name + " " + key;
  s->oid = row.oid;
  s->signum = number;
  s->column = c;
  if (c->signal->rate)
    s->rate = new count_base_t;
  return std::shared_ptr<signal_t>(s, [](signal_t* gone) {
    delete gone->rate;
    delete gone;
  });
}

static bool held(const book_t* book, int64_t n) {
  auto at = book->held.find((int32_t)n);
  return at != book->held.end() && at->second > 0;
}

// The first number from on that nothing holds; -1 when none is left. The numbers held are
// fewer than the signals, and so are the turns of this loop.
static int64_t free_number(const book_t* book, int64_t from) {
  for (int64_t n = from; n <= INT32_MAX; n++)
    if (!held(book, n))
      return n;
  return -1;
}

// A labelled column's rows are remembered, and so is a row of another that cannot have its own
// number: the signum plus the last sub-identifier of its index; a derived key never is. Returns -1
// when no number is free.
static int64_t number_of(column_t* c, const row_key_t& k, const row_t& row) {
  const std::string& key = k.text;
  std::map<std::string, int32_t>& mine = c->book->numbers[key_of(c)];
  auto known = mine.find(key);
  if (known != mine.end())
    return known->second;
  int64_t own = (int64_t)c->signal->signum + row.last, n = own;
  if (own > INT32_MAX || held(c->book, own))
    n = free_number(c->book, (int64_t)c->signal->signum + 1);
  std::string name = visible_text(c->signal->name + " " + key);
  if (n < 0) {
    say(LOG_NOTICE, "morvane: row \"%s\" is not read: no signum above %d is free", name.c_str(), c->signal->signum);
    return -1;
  }
  if (n != own)
    say(LOG_NOTICE, "morvane: row \"%s\" takes signum %lld: %lld is %s", name.c_str(), (long long)n, (long long)own,
        own > INT32_MAX ? "past the largest" : "held");
  if (!k.derived && (n != own || !c->label_oid.empty())) {
    mine[key] = (int32_t)n;
    c->book->changed = true;
  }
  c->book->held[(int32_t)n]++;
  return n;
}

// A row that leaves gives its number back unless it is remembered for its label's return.
static void row_gone(column_t* c, const std::string& key, const signal_t* s) {
  std::map<std::string, int32_t>& mine = c->book->numbers[key_of(c)];
  if (!mine.count(key))
    hold(c->book, s->signum, -1);
}

// The most rows a walk's one line names: a table that churns every second says one line a walk,
// not one a row, and the screen and the health figures say the rest.
static const size_t gone_named = 3;

// One line for the rows of c that a walk no longer found.
static void say_gone(const column_t* c, const std::vector<const signal_t*>& gone) {
  if (gone.size() == 1) {
    say(LOG_NOTICE, "morvane: row \"%s\" (signum %d) is no longer in its table", visible_text(gone[0]->name).c_str(),
        gone[0]->signum);
    return;
  }
  std::string named;
  for (size_t i = 0; i < gone.size() && i < gone_named; i++)
    named += (i ? ", \"" : "\"") + visible_text(gone[i]->name) + "\" (" + std::to_string(gone[i]->signum) + ")";
  if (gone.size() > gone_named)
    named += " and " + std::to_string(gone.size() - gone_named) + " more";
  say(LOG_NOTICE, "morvane: %zu rows of \"%s\" are no longer in its table: %s", gone.size(),
      visible_text(c->signal->name).c_str(), named.c_str());
}

// Keys are unique within a walk: a label as the agent gives it goes before a derived key, which
// adds its index again until no other row holds it ("eth0 (7)" beside a row labelled so).
static std::vector<row_key_t> keys_of(const std::vector<row_t>& found) {
  std::vector<row_key_t> keys(found.size());
  std::set<std::string> taken;
  for (size_t i = 0; i < found.size(); i++) {
    keys[i].text = found[i].label.empty() ? found[i].index : found[i].label;
    keys[i].derived = !taken.insert(keys[i].text).second;
  }
  for (size_t i = 0; i < found.size(); i++)
    if (keys[i].derived) {
      do
        keys[i].text += " (" + found[i].index + ")";
      while (!taken.insert(keys[i].text).second);
    }
  return keys;
}

bool take_walk(column_t* c, const std::vector<row_t>& found, const std::string& why, int64_t now_ms) {
  if (c->dropped)
    return false;  // its numbers were given back: rows now would hold them again for good
  if (!why.empty()) {
    c->due = true;
    if (c->rows.empty() && !c->silence_named)
      say(LOG_NOTICE, "%s: walk of %s on %s: %s, so \"%s\" has no rows", c->where.c_str(), c->signal->oid.c_str(),
          c->signal->ip_addr.c_str(), why.c_str(), visible_text(c->signal->name).c_str());
    c->silence_named = true;
    return false;
  }
  c->due = false;
  c->walked_ms = now_ms;
  c->silence_named = false;
  std::map<std::string, std::shared_ptr<signal_t>> old;
  for (size_t i = 0; i < c->rows.size(); i++)
    old[c->keys[i]] = c->rows[i];
  std::vector<row_key_t> keys = keys_of(found);
  for (size_t i = 0; i < found.size(); i++)
    keys[i].derived |= found[i].label.empty() && !c->label_oid.empty();  // a label missing for now
  std::vector<std::shared_ptr<signal_t>> rows;
  std::vector<std::string> kept_keys;
  bool changed = false;
  for (size_t i = 0; i < found.size(); i++) {
    auto same = old.find(keys[i].text);
    if (same != old.end() && same->second->oid == found[i].oid) {
      rows.push_back(same->second);
      old.erase(same);
    } else {
      int64_t n = same != old.end() ? same->second->signum : number_of(c, keys[i], found[i]);
      if (n < 0)
        continue;
      if (same != old.end())
        old.erase(same);  // moved: a new signal under the same number, with a base of its own
      rows.push_back(new_row(c, keys[i].text, found[i], (int32_t)n));
      changed = true;
    }
    kept_keys.push_back(keys[i].text);
  }
  std::vector<const signal_t*> gone;
  for (size_t i = 0; i < c->rows.size(); i++)
    if (old.count(c->keys[i])) {
      row_gone(c, c->keys[i], c->rows[i].get());
      gone.push_back(c->rows[i].get());
    }
  if (!gone.empty())
    say_gone(c, gone);
  changed |= !gone.empty() || rows.size() != c->rows.size();
  c->rows.swap(rows);
  c->keys.swap(kept_keys);
  return changed;
}

void carry_rows(column_t* c, const column_t* was) {
  std::map<std::string, int32_t>& mine = c->book->numbers[key_of(c)];
  for (size_t i = 0; i < was->rows.size(); i++) {
    const signal_t* old = was->rows[i].get();
    std::shared_ptr<signal_t> row = new_row(c, was->keys[i], row_t{"", 0, old->oid, ""}, old->signum);
    row->float_value.store(old->float_value.load());
    row->int_value.store(old->int_value.load());
    set_text_value(row.get(), get_text_value((signal_t*)old));
    row->good_at.store(old->good_at.load());
    if (row->rate && old->rate)
      *row->rate = *old->rate;  // this thread is its writer: a copy is whole
    if (!mine.count(was->keys[i]))
      hold(c->book, old->signum, 1);  // drop_column(was) gives it back
    c->rows.push_back(row);
    c->keys.push_back(was->keys[i]);
  }
}

static void write_book(book_t* book) {
  if (!book->changed)
    return;
  std::string why = write_numbers(book->path, book->numbers);
  if (why.empty()) {
    book->changed = false;
    book->unwritable_named = false;
  } else if (!book->unwritable_named) {
    say(LOG_NOTICE, "morvane: %s; the rows keep their numbers while morvane runs", why.c_str());
    book->unwritable_named = true;
  }
}

std::vector<std::shared_ptr<signal_t>> drop_column(column_t* c) {
  std::map<std::string, int32_t>& mine = c->book->numbers[key_of(c)];
  for (size_t i = 0; i < c->rows.size(); i++)
    if (!mine.count(c->keys[i]))
      hold(c->book, c->rows[i]->signum, -1);
  std::vector<std::shared_ptr<signal_t>> rows;
  rows.swap(c->rows);
  c->keys.clear();
  c->dropped = true;
  return rows;
}

// The walking thread and a reload publish one after the other, each from the newest version.
static std::mutex& publishing = *new std::mutex;

// Publishes loaded's signals, each column's rows in its place as rows_of gives them.
template <typename rows_of_t>
static void publish_with(const std::shared_ptr<const loaded_t>& loaded, rows_of_t rows_of) {
  std::shared_ptr<table_t> t = std::make_shared<table_t>();
  t->loaded = loaded;
  for (signal_t* s : loaded->signals) {
    if (!s->column) {
      t->signals.push_back(s);
      continue;
    }
    for (const std::shared_ptr<signal_t>& row : rows_of(s->column)) {
      t->signals.push_back(row.get());
      t->rows.push_back(row);
    }
  }
  publish_table(t);
}

void publish_rows() {
  std::lock_guard<std::mutex> hold(publishing);
  std::shared_ptr<const loaded_t> loaded = table_now()->loaded;
  publish_with(loaded, [](const column_t* c) { return c->rows; });
  for (signal_t* s : loaded->signals)
    if (s->column) {
      write_book(s->column->book);
      break;
    }
}

void publish_loaded(const std::shared_ptr<const loaded_t>& loaded,
                    const std::map<const column_t*, const column_t*>& successors) {
  std::lock_guard<std::mutex> hold(publishing);
  std::shared_ptr<const table_t> now = table_now();
  publish_with(loaded, [&](const column_t* c) {
    auto follows = successors.find(c);
    const column_t* shown = follows == successors.end() ? c : follows->second;
    std::vector<std::shared_ptr<signal_t>> rows;
    for (const std::shared_ptr<signal_t>& row : now->rows)
      if (row->column == shown)
        rows.push_back(row);
    return rows;
  });
}
