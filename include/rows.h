// The rows of walked columns: what a walk finds becomes its column's rows, each a signal with a
// number that its label keeps across walks, renumbering and restarts of the agent and of
// morvane; and the versions of the table that show them. Used by the one thread that walks (the
// poller, or the built-in engine's thread) and, before it starts, by start-up.
#ifndef MORVANE_ROWS_H
#define MORVANE_ROWS_H

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "numbers.h"
#include "snmplife.h"

struct signal_t;
struct snmp_conf_t;
struct loaded_t;

// One row a walk found.
struct row_t {
  std::string index;  // the sub-identifiers after the column, dotted ("11001", "1.4")
  uint32_t last;      // the last of them
  std::string oid;    // the row's object, numeric with a leading dot
  std::string label;  // the label column's value at the index, as a name shows it; "": none
};

// The numbers the rows of every column hold, and what else holds one; one for all columns.
struct book_t {
  std::string path;             // the numbers file
  numbers_t numbers;            // remembered: each labelled row's, and each other moved off its own
  std::vector<int32_t> signums;  // of the signals of morvane.conf, but the columns
  std::map<int32_t, int> held;  // how many hold each number: signals of morvane.conf, remembered, rows
  bool changed = false;         // remembered numbers not written yet
  bool unwritable_named = false;
};

// A signal with walk = true and its rows.
struct column_t {
  signal_t* signal = nullptr;  // as loaded: its settings are its rows'
  std::string label_oid;       // empty: rows are named and kept by their index
  std::string name, label_name;  // the column's and the label's numeric oid (walk.h); "": none
  std::string where;           // "FILE:LINE" of its walk key, for messages
  book_t* book = nullptr;
  std::vector<std::shared_ptr<signal_t>> rows;  // in the agent's order
  std::vector<std::string> keys;                // each row's label or index, beside rows
  bool due = true;             // walked at the next chance, whatever the period
  int64_t walked_ms = 0;       // monotonic_ms() of its last answered walk; 0: none
  bool silence_named = false;  // its walk's "no answer" was said, and no walk answered since
  bool dropped = false;        // a reload let it go: a walk still in flight gives it no rows
  uint32_t life = 0;           // the built-in engine's: its agent's life (snmplife.h) when walked
  life_t clock;                // the snmpget engine's: its agent's sysUpTime.0 at its looks,
  bool clockless = false;      // or the agent has none, and its rows are read without it;
  bool held = false;           // and its rows are not read in this cycle: that look had no answer
};

// Makes book: the numbers file at path read (numbers.h), each number of signums held, and a
// remembered number that a signal of morvane.conf has now forgotten, with one line naming it.
void book_open(book_t* book, const std::string& path, const std::vector<int32_t>& signums);
// Makes signums the numbers the signals of morvane.conf hold (after a reload), with book_open's
// line for a remembered number one of them now holds.
void book_sign(book_t* book, const std::vector<int32_t>& signums);
// Copies to to the settings of morvane.conf that a row takes from its column from: all but the
// name, signum, object and rate.
void copy_settings(const signal_t* from, signal_t* to);
// Makes the column of s (walk = true): its rows are named after it and numbered from its signum.
column_t* column_new(signal_t* s, const std::string& label_oid, const std::string& where, book_t* book);

// True when c is to be walked at now_ms (monotonic ms): it never was, walk_period (of conf, or
// 60 000 ms) has passed since, or it was marked due.
bool walk_due(const column_t* c, const snmp_conf_t* conf, int64_t now_ms);
// Takes the end of a walk of c at now_ms: found, in the agent's order, becomes its rows when why
// is empty; a row kept (same label and object) is the same signal, a new or moved one a new
// signal under its label's number, one no longer found leaves with one line on standard error
// and in the system log. With why ("no answer"), the rows stay and the walk is due again; while
// c has no rows it is named once. Returns true when the rows changed.
bool take_walk(column_t* c, const std::vector<row_t>& found, const std::string& why, int64_t now_ms);

// Gives back the numbers of c's rows, which leave with their column at a reload (remembered
// numbers stay remembered), and marks c dropped. Returns the rows, for the caller to keep while a
// request in flight may still write them.
std::vector<std::shared_ptr<signal_t>> drop_column(column_t* c);

// Gives c, new at a reload, the rows of was, a column of the same identity that the reload lets
// go (its name or other settings changed): each row made anew by c's settings under its key and
// number, with its reading, stamps and rate's base, so that no series has a gap; c is still
// walked afresh. Call before drop_column(was), on the thread that walks.
void carry_rows(column_t* c, const column_t* was);

// Publishes the table of the loaded file in force: every signal, a walked column's rows in its
// place; then writes the remembered numbers when they changed (an unwritable file named once).
// The walking thread's.
void publish_rows();
// Publishes the table of loaded, made by a reload: a column kept from the version in force keeps
// the rows that version shows, a new one the rows of the running column it follows (in
// successors, new -> running) until the thread that walks carries them over, else none yet.
void publish_loaded(const std::shared_ptr<const loaded_t>& loaded,
                    const std::map<const column_t*, const column_t*>& successors = {});

#endif
