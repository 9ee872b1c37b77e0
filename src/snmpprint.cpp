// The built-in engine's values, printed as snmpget -Oqv prints them. Only the engine's thread
// prints; its buffer is that thread's own.
#include "snmpprint.h"

#include <stdlib.h>
#include <string.h>

#include <exception>
#include <new>
#include <string>

#include "parser.h"
#include "signals.h"
#include "snmpsession.h"

// The print buffer, grown by the library.
static thread_local u_char* text = NULL;
static thread_local size_t text_size = 0;

// Prints v's value as the library prints the whole variable under -Ov, which finds m's MIB node
// by printing the name first, only to drop it: most of the work, the same for every value.
static int print_by_node(const member_t& m, const netsnmp_variable_list* v, size_t* length) {
  const struct tree* t = m.node;
  if (!t)
    return sprint_realloc_by_type(&text, &text_size, length, 1, v, NULL, NULL, NULL);
  const char* units =
      netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PRINT_UNITS) ? NULL : t->units;
  const char* hint =
      netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_NO_DISPLAY_HINT) ? NULL : t->hint;
  if (t->printomat)
    return t->printomat(&text, &text_size, length, 1, v, t->enums, hint, units);
  return sprint_realloc_by_type(&text, &text_size, length, 1, v, t->enums, hint, units);
}

static bool exception(const netsnmp_variable_list* v) {
  return v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE || v->type == SNMP_ENDOFMIBVIEW;
}

// The text of the print buffer: up to its first NUL, as snmpget's "%s" prints it.
static std::string printed(size_t length) {
  if (!text || length >= text_size)
    return std::string();
  return std::string((const char*)text, strnlen((const char*)text, length));
}

// The number of an INTEGER, Counter32 or Gauge32, as the library prints it.
static long long number(const netsnmp_variable_list* v) {
  return v->type == ASN_INTEGER ? (long long)*v->val.integer : (long long)(*v->val.integer & 0xffffffff);
}

// True when every value of v's type at node t prints as its number: nothing on the node turns a
// number into a label, a scaled figure or a figure with units.
static bool plain(const struct tree* t, const netsnmp_variable_list* v) {
  bool numeric = v->type == ASN_INTEGER || v->type == ASN_COUNTER || v->type == ASN_GAUGE;
  return numeric && (!t || (!t->enums && !t->hint && !t->units));
}

// What snmpget prints for v: the value up to its first NUL and a line end. The value alone is
// printed by m's MIB node once that has printed the same as the library's whole print;
// exceptions always take the whole print.
static std::string printed_value(member_t* m, const netsnmp_variable_list* v) {
  if (!text) {
    text_size = 256;
    if (!(text = (u_char*)calloc(text_size, 1)))
      throw std::bad_alloc();
  }
  size_t length = 0;
  if (m->by_node == 1 && !exception(v)) {
    int whole = print_by_node(*m, v, &length);
    return printed(length) + (whole ? "\n" : " [TRUNCATED]\n");
  }
  int whole = sprint_realloc_variable(&text, &text_size, &length, 1, v->name, v->name_length, v);
  std::string line = printed(length) + (whole ? "\n" : " [TRUNCATED]\n");
  if (m->by_node == 0 && !exception(v) && whole) {
    m->node = get_tree(m->name.data(), m->name.size(), get_tree_head());
    length = 0;
    m->by_node = print_by_node(*m, v, &length) && printed(length) + "\n" == line ? 1 : -1;
    m->plain = plain(m->node, v) && std::to_string(number(v)) + "\n" == line ? v->type : 0;
  }
  return line;
}

// A counter's exact number, of any type whose values are one: false for others and a negative
// INTEGER.
static bool count_of(const netsnmp_variable_list* v, uint64_t* count) {
  switch (v->type) {
    case ASN_INTEGER:
      *count = (uint64_t)*v->val.integer;
      return *v->val.integer >= 0;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
      *count = *v->val.integer & 0xffffffff;
      return true;
    case ASN_COUNTER64:
      *count = (uint64_t)(v->val.counter64->high & 0xffffffff) << 32 | (v->val.counter64->low & 0xffffffff);
      return true;
  }
  return false;
}

// A rate member's reading from its counter; only the rounds of one life of the agent (see
// snmpbatch.cpp) tell a Counter32's wrap from a restart. Returns where the count went.
static int give_count(member_t* m, const netsnmp_variable_list* v, uint64_t count, uint32_t life,
                      const agent_clock_t* clock) {
  count_base_t* base = m->signal->rate;
  int went = !base->at ? 0 : count < base->count ? -1 : 1;
  count_kind_t kind = COUNT_PLAIN;
  if (life && base->life && base->life != life)
    kind = COUNT_RESTARTED;
  else if (life && base->life && v->type == ASN_COUNTER)
    kind = COUNT_WRAPS32;
  res_count(m->signal, count, kind, clock);
  base->life = life;
  return went;
}

int give_reply(member_t* m, const netsnmp_variable_list* v, uint32_t life, const agent_clock_t* clock) {
  uint64_t count;
  try {
    if (v && m->signal->rate && count_of(v, &count))
      return give_count(m, v, count, life, clock);
    if (v && m->plain && v->type == m->plain)
      res_number(m->signal, number(v));
    else
      res_parse(m->signal, v ? printed_value(m, v) : std::string());
  } catch (const std::exception&) {
    // no memory for this reading: it stays as it was
  }
  return 0;
}
