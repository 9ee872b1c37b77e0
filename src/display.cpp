// The live value table: twice a second a full redraw of every reading, the column width taken
// again when rows come or go. Reads the value fields and good_at through their atomics and
// get_text_value; shares only stdout.
#include "display.h"

#include <unistd.h>

#include <iostream>

#include "signals.h"

size_t utf8_length(const std::string& s) {
  int count = 0;
  for (const char* p = s.c_str(); *p; p++)
    if ((*p & 0xC0) != 0x80)
      count++;
  return count;
}

bool comp(signal_t* a, signal_t* b) {
  return utf8_length(a->name) < utf8_length(b->name);
}

int name_width(const std::vector<signal_t*>& table) {
  if (table.empty())
    return 0;
  signal_t* widest = table[0];
  for (signal_t* s : table)
    if (comp(widest, s))
      widest = s;
  return (int)widest->name.size();
}

int name_padding(const std::string& name, int width) {
  return (int)name.size() + width - (int)utf8_length(name);
}

static void print_header(FILE* out, int width) {
  fprintf(out, "\x1b[34;1m%-*s%s\x1b[0m\n", width, "Name", "Value");
}

// A fresh reading in cyan, a stale one (is_stale) in yellow.
static const char fresh_colour[] = "\x1b[36m";
static const char stale_colour[] = "\x1b[33m";

// One line in the signal's value type, its reading in colour; an unknown type prints nothing.
static void print_signal(FILE* out, signal_t* s, int width, const char* colour) {
  int pad = name_padding(s->name, width);
  const char* name = s->name.c_str();
  switch (s->value_type) {
    case 0:
      fprintf(out, "\x1b[0m%-*s%s%.2f\x1b[0m\n", pad, name, colour, (double)s->float_value.load());
      break;
    case 1:
      fprintf(out, "\x1b[0m%-*s%s%i\x1b[0m\n", pad, name, colour, (int)s->int_value.load());
      break;
    case 2:
      fprintf(out, "\x1b[0m%-*s%s%s\x1b[0m\n", pad, name, colour, s->int_value.load() ? "TRUE" : "FALSE");
      break;
    case 3:
      fprintf(out, "\x1b[0m%-*s%s\"%s\"\x1b[0m\n", pad, name, colour,
              visible_text(get_text_value(s)).c_str());
      break;
  }
}

void print_frame(FILE* out, const std::vector<signal_t*>& table, int width, const snmp_conf_t* conf) {
  fprintf(out, "\x1b[2J\x1b[0m");  // no cursor move: the table starts where the cursor stands
  print_header(out, width);
  int64_t now = monotonic_ms();
  for (signal_t* s : table)
    print_signal(out, s, width, is_stale(s, conf, now) ? stale_colour : fresh_colour);
}

void* print_data(void*) {
  std::shared_ptr<const table_t> table;
  int width = 0;
  for (;;) {
    std::shared_ptr<const table_t> now = table_now();
    if (now != table) {  // rows came or went
      table = now;
      width = name_width(table->signals);
    }
    print_frame(stdout, table->signals, width, &table->loaded->conf);  // a reload's stale_after, as delivery's
    std::cout << std::endl;
    usleep(500000);  // 0.5 s between redraws
  }
  return NULL;
}
