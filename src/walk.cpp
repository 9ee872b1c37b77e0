// SNMP tables: a column's objects as snmpwalk prints them (the snmpget engine's walks, run on the
// poller's thread), and the rows a walk's objects give, named by another column.
#include "walk.h"

#include <stdio.h>
#include <stdlib.h>

#include <exception>
#include <map>
#include <sstream>

#include "getcmdout.h"
#include "signals.h"
#include "snmpcmd.h"
#include "snmpsession.h"

// The sessions lines were parsed in: they live on, as the engine's do, since the option
// parser's allocations in them are the library's own to free.
static std::vector<session_t*>& parsed_sessions() {
  static std::vector<session_t*>& kept = *new std::vector<session_t*>;
  return kept;
}

static std::string dotted(const std::vector<oid>& name, size_t from) {
  std::string text;
  for (size_t i = from; i < name.size(); i++)
    text += (i > from ? "." : "") + std::to_string(name[i]);
  return text;
}

// The numeric name of s's object as its snmpget line names it; "" when snmpget refuses the line.
static std::string parsed_name(signal_t* s, const snmp_conf_t* conf) {
  std::vector<session_t*> sessions;
  std::vector<signal_t*> unread;
  hosts_t hosts;
  make_sessions({s}, conf, &sessions, &unread, &hosts);
  parsed_sessions().insert(parsed_sessions().end(), sessions.begin(), sessions.end());
  if (sessions.empty() || sessions[0]->members.empty())
    return "";
  return "." + dotted(sessions[0]->members[0].name, 0);
}

void walk_prepare(column_t* c, const snmp_conf_t* conf) {
  column_t* own = c->signal->column;
  c->signal->column = NULL;  // parsed as a plain signal of its line
  c->name = parsed_name(c->signal, conf);
  if (!c->label_oid.empty()) {
    signal_t label;
    copy_settings(c->signal, &label);
    label.oid = c->label_oid;
    c->label_name = parsed_name(&label, conf);
  }
  c->signal->column = own;
  if (c->name.empty())
    take_walk(c, {}, "snmpget refuses its line", 0);
}

// Read by hand rather than by the library's parser, which the engine's thread alone may use.
std::vector<oid> numeric_name(const std::string& text) {
  std::vector<oid> name;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '.' || i + 1 >= text.size() || text[i + 1] < '0' || text[i + 1] > '9' || name.size() >= MAX_OID_LEN)
      return {};
    char* end;
    unsigned long long value = strtoull(text.c_str() + i + 1, &end, 10);
    if (value > UINT32_MAX)
      return {};
    name.push_back((oid)value);
    i = end - text.c_str() - 1;
  }
  return name;
}

bool take_object(const oid* name, size_t length, const std::string& value, const std::vector<oid>& column,
                 walked_t* out) {
  const std::vector<oid>& last = out->empty() ? column : out->back().first;
  if (length <= column.size() || netsnmp_oid_is_subtree(column.data(), column.size(), name, length) != 0 ||
      snmp_oid_compare(name, length, last.data(), last.size()) <= 0)
    return false;
  out->push_back({std::vector<oid>(name, name + length), value});
  return true;
}

std::string printed(const netsnmp_variable_list* v) {
  u_char* text = NULL;
  size_t size = 0, length = 0;
  sprint_realloc_value(&text, &size, &length, 1, v->name, v->name_length, v);
  std::string value = text ? std::string((const char*)text, length) : std::string();
  free(text);
  return value;
}

// A label as a name shows it: without snmpget's quotes and their escapes, a hex string's line
// breaks and trailing blank, and with what could steer the terminal or break the table's line
// escaped.
static std::string label_text(const std::string& value) {
  std::string bare;
  bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
  for (size_t i = quoted, end = value.size() - quoted; i < end; i++) {
    if (quoted && value[i] == '\\' && i + 1 < end)
      i++;
    else if (value[i] == '\n' && i > 0 && value[i - 1] == ' ')
      continue;
    bare += value[i];
  }
  while (!bare.empty() && bare.back() == ' ')
    bare.pop_back();
  std::string shown;
  for (char c : visible_text(bare))
    shown += c == '\n' ? "\\x0a" : c == '\t' ? "\\x09" : std::string(1, c);
  return shown;
}

std::vector<row_t> rows_of(const std::vector<oid>& column, const walked_t& cells, const std::vector<oid>& label,
                           const walked_t& label_cells) {
  std::map<std::string, std::string> labels;  // by index
  for (const auto& cell : label_cells)
    labels[dotted(cell.first, label.size())] = cell.second;
  std::vector<row_t> rows;
  for (const auto& cell : cells) {
    row_t row = {dotted(cell.first, column.size()), (uint32_t)cell.first.back(), "." + dotted(cell.first, 0), ""};
    auto found = labels.find(row.index);
    if (found != labels.end())
      row.label = label_text(found->second);
    rows.push_back(row);
  }
  return rows;
}

// s's snmpget line with its object replaced by name and -Oqv by option; "" when there is no
// such line.
static std::string line_for(const signal_t* s, const snmp_conf_t* conf, const std::string& option,
                            const std::string& name) {
  std::string line = make_snmp_cmd(s, conf);
  size_t at = line.find(" -Oqv ");
  if (line.compare(0, 8, "snmpget ") != 0 || at == std::string::npos)
    return "";
  line.replace(at, 6, " " + option + " ");
  size_t object = line.rfind(" " + s->oid + " ");
  if (object == std::string::npos)
    return "";
  return line.replace(object + 1, s->oid.size(), name);
}

// Takes snmpwalk's lines, "NAME VALUE"; a line that names no object goes on the value before
// (a text with a line end). Returns true when an object ends the column (take_object): snmpwalk
// prints the object of an agent that loops before it fails on it.
static bool take_lines(const std::string& text, const std::vector<oid>& column, walked_t* out) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    size_t space = line.find(' ');
    std::vector<oid> name = line[0] == '.' ? numeric_name(line.substr(0, space)) : std::vector<oid>();
    if (name.empty() && !out->empty())
      out->back().second += "\n" + line;
    else if (name.empty())
      return false;
    else if (!take_object(name.data(), name.size(), space == std::string::npos ? "" : line.substr(space + 1), column, out))
      return true;
  }
  return false;
}

// Printed after snmpwalk's lines when it ends well: it ends with an error (a timeout, an error
// status) once it has printed what it got, and that is no table's end; but for an agent that
// loops, whose looping object ends the column as the built-in engine's walk ends it.
static const char walk_ended[] = "morvane-walk-ended\n";

// The objects of column by snmpwalk into out; returns "" or why it failed (walk_column).
static std::string run_walk(const column_t* c, const snmp_conf_t* conf, const std::string& column, walked_t* out) {
  std::string line = line_for(c->signal, conf, "-Oqn", column), text;
  std::string command = "snmpwalk " + line.substr(std::min<size_t>(8, line.size())) + " && echo " +
                        std::string(walk_ended, sizeof walk_ended - 2);
  try {
    text = line.empty() ? "" : getCmdOut(command.c_str(), conf ? conf->cmd_timeout : 0);
  } catch (const std::exception&) {
  }
  size_t end = text.size() - std::min(text.size(), sizeof walk_ended - 1);
  bool whole = text.compare(end, std::string::npos, walk_ended) == 0;
  if (whole)
    text.erase(end);
  whole |= take_lines(text, numeric_name(column), out);
  return whole ? "" : text.empty() ? "no answer" : "an error cut it short";
}

// A label walk that fails fails the walk: its rows would be named by their indexes, numbered
// anew and remembered so.
std::vector<row_t> walk_column(const column_t* c, const snmp_conf_t* conf, std::string* why) {
  walked_t cells, label_cells;
  *why = c->name.empty() ? "snmpget refuses its line" : run_walk(c, conf, c->name, &cells);
  if (why->empty() && !c->label_name.empty())
    *why = run_walk(c, conf, c->label_name, &label_cells);
  if (!why->empty())
    return {};
  return rows_of(numeric_name(c->name), cells, numeric_name(c->label_name), label_cells);
}

int agent_uptime(const column_t* c, const snmp_conf_t* conf, uint32_t* ticks) {
  std::string line = line_for(c->signal, conf, "-Oqv", ".1.3.6.1.2.1.1.3.0"), text;
  try {
    text = line.empty() ? "" : getCmdOut(line.c_str(), conf ? conf->cmd_timeout : 0);
  } catch (const std::exception&) {
  }
  if (text.empty())
    return -1;
  return take_uptime(&text, ticks) ? 1 : 0;  // 0: "No Such Object ...", an agent without a clock
}

std::string row_line(const signal_t* row, const snmp_conf_t* conf) {
  return line_for(row, conf, "-Oqv", ".1.3.6.1.2.1.1.3.0 " + row->oid);
}

bool take_uptime(std::string* reply, uint32_t* ticks) {
  unsigned days, hours, minutes, seconds, hundredths;
  int length = 0;
  if (sscanf(reply->c_str(), "%u:%u:%u:%u.%u\n%n", &days, &hours, &minutes, &seconds, &hundredths, &length) != 5 ||
      !length || reply->c_str()[length - 1] != '\n')
    return false;
  *ticks = (uint32_t)((((uint64_t)days * 24 + hours) * 60 + minutes) * 60 + seconds) * 100 + hundredths;
  reply->erase(0, length);
  return true;
}
