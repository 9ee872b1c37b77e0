// SNMP tables: a column's rows, walked once at start-up, before any thread starts, by the
// library or by snmpwalk, and named by another column.
#include "walk.h"

#include <stdlib.h>

#include <exception>
#include <map>
#include <sstream>

#include "getcmdout.h"
#include "signals.h"
#include "snmpcmd.h"
#include "snmpsession.h"

// The objects of a walk: each one's name and its value as snmpget prints it.
typedef std::vector<std::pair<std::vector<oid>, std::string>> walked_t;

static const int max_repetitions = 25;  // objects a GETBULK asks for

// Appends the object named name to out when it is in column past the last one; false at the
// column's end: an object outside it, or one not past the last (a looping agent).
static bool take(const oid* name, size_t length, const std::string& value, const std::vector<oid>& column,
                 walked_t* out) {
  const std::vector<oid>& last = out->empty() ? column : out->back().first;
  if (length <= column.size() || netsnmp_oid_is_subtree(column.data(), column.size(), name, length) != 0 ||
      snmp_oid_compare(name, length, last.data(), last.size()) <= 0)
    return false;
  out->push_back({std::vector<oid>(name, name + length), value});
  return true;
}

static std::string printed(const netsnmp_variable_list* v) {
  u_char* text = NULL;
  size_t size = 0, length = 0;
  sprint_realloc_value(&text, &size, &length, 1, v->name, v->name_length, v);
  std::string value = text ? std::string((const char*)text, length) : std::string();
  free(text);
  return value;
}

// Takes the objects of one answer; false at the column's end.
static bool take_answer(const netsnmp_pdu* response, const std::vector<oid>& column, walked_t* out) {
  if (response->errstat != SNMP_ERR_NOERROR || !response->variables)
    return false;  // v1's noSuchName past the last object
  for (const netsnmp_variable_list* v = response->variables; v; v = v->next_variable)
    if (v->type == SNMP_ENDOFMIBVIEW || v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE ||
        !take(v->name, v->name_length, printed(v), column, out))
      return false;
  return true;
}

// Walks column through the library's open session; false when no request was answered.
static bool walk_open(void* open, long version, const std::vector<oid>& column, walked_t* out) {
  bool answered = false, more = true;
  while (more) {
    netsnmp_pdu* pdu = snmp_pdu_create(version == SNMP_VERSION_1 ? SNMP_MSG_GETNEXT : SNMP_MSG_GETBULK);
    if (!pdu)
      break;
    if (version != SNMP_VERSION_1) {
      pdu->non_repeaters = 0;
      pdu->max_repetitions = max_repetitions;
    }
    const std::vector<oid>& from = out->empty() ? column : out->back().first;
    snmp_add_null_var(pdu, from.data(), from.size());
    netsnmp_pdu* response = NULL;  // the library frees the request, sent or not
    more = snmp_sess_synch_response(open, pdu, &response) == STAT_SUCCESS && response;
    answered |= more;
    more = more && take_answer(response, column, out);
    if (response)
      snmp_free_pdu(response);
  }
  return answered;
}

// snmpwalk's line for s: its snmpget line, each object printed after its numeric name.
static std::string walk_line(const signal_t* s, const snmp_conf_t* conf) {
  std::string line = make_snmp_cmd(s, conf);
  size_t at = line.find(" -Oqv ");
  if (line.compare(0, 8, "snmpget ") != 0 || at == std::string::npos)
    return "";
  line.replace(at, 6, " -Oqn ");
  return "snmpwalk " + line.substr(8);
}

// Takes snmpwalk's lines, "NAME VALUE"; a line that names no object goes on the value before
// (a text with a line end).
static void take_lines(const std::string& text, const std::vector<oid>& column, walked_t* out) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    oid name[MAX_OID_LEN];
    size_t length = MAX_OID_LEN, space = line.find(' ');
    std::string word = line.substr(0, space);
    bool named = line[0] == '.' && snmp_parse_oid(word.c_str(), name, &length);
    if (!named && !out->empty())
      out->back().second += "\n" + line;
    else if (!named || !take(name, length, space == std::string::npos ? "" : line.substr(space + 1), column, out))
      return;
  }
}

// The sessions walks were read through: they live on, as the engine's do, since the option
// parser's allocations in them are the library's own to free.
static std::vector<session_t*>& walk_sessions() {
  static std::vector<session_t*>& kept = *new std::vector<session_t*>;
  return kept;
}

// Walks s's oid by conf's engine; its numeric name goes in column. Returns "", or why nothing was
// walked: the line is refused, or no request was answered (snmpwalk printed nothing).
static std::string walk(signal_t* s, const snmp_conf_t* conf, std::vector<oid>* column, walked_t* out) {
  std::vector<session_t*> sessions;
  std::vector<signal_t*> unread;
  hosts_t hosts;
  make_sessions({s}, conf, &sessions, &unread, &hosts);
  session_t* session = sessions.empty() || sessions[0]->members.empty() ? NULL : sessions[0];
  std::string why = session ? "" : "snmpget refuses its line";
  if (session && !builtin_engine(conf)) {
    *column = session->members[0].name;
    std::string line = walk_line(s, conf), text;
    try {
      text = line.empty() ? "" : getCmdOut(line);
    } catch (const std::exception&) {
    }
    take_lines(text, *column, out);
    why = text.empty() ? "no answer" : "";
  } else if (session) {
    *column = session->members[0].name;
    session->settings.flags &= ~SNMP_FLAGS_DONT_PROBE;  // nothing else runs yet: a v3 probe may wait
    void* open = snmp_sess_open(&session->settings);
    why = open && walk_open(open, session->settings.version, *column, out) ? "" : "no answer";
    if (open)
      snmp_sess_close(open);
  }
  walk_sessions().insert(walk_sessions().end(), sessions.begin(), sessions.end());
  return why;
}

static std::string dotted(const std::vector<oid>& name, size_t from) {
  std::string text;
  for (size_t i = from; i < name.size(); i++)
    text += (i > from ? "." : "") + std::to_string(name[i]);
  return text;
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

std::string walk_column(signal_t* column, signal_t* label, const snmp_conf_t* conf, std::vector<row_t>* rows) {
  std::vector<oid> name, label_name;
  walked_t cells, label_cells;
  std::string why = walk(column, conf, &name, &cells);
  if (!why.empty())
    return why;
  std::map<std::string, std::string> labels;  // by index
  if (label && walk(label, conf, &label_name, &label_cells).empty())
    for (const auto& cell : label_cells)
      labels[dotted(cell.first, label_name.size())] = cell.second;
  for (const auto& cell : cells) {
    row_t row = {dotted(cell.first, name.size()), (uint32_t)cell.first.back(), "." + dotted(cell.first, 0), ""};
    auto found = labels.find(row.index);
    if (found != labels.end())
      row.label = label_text(found->second);
    rows->push_back(row);
  }
  return "";
}
