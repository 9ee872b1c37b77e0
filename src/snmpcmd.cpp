// SNMP request building: the snmpget line for one signal, with the global overrides applied.
// Every configured text is quoted for the shell when it needs it, and an option whose value
// is empty is left out, so snmpget never takes the next option as that value.
#include "snmpcmd.h"

#include <string.h>

#include <string>
#include <vector>

#include "signals.h"

const char snmp_v1_2c_cmd[] = "snmpget -t %d -r %d -Oqv -v %s -c %s %s %s 2>/dev/null";
const char snmp_v3_cmd[] =
    "snmpget -t %d -r %d -Oqv -v %s -l %s -x %s -X %s -a %s -A %s -c %s -u %s %s %s 2>/dev/null";

// The longest line handed to the shell, in bytes.
static const size_t max_line = 8191;

static const char* from_table(const char* const table[], int size, int id) {
  return id >= 0 && id < size ? table[id] : "";
}

const char* getSecLevelById(int id) {
  static const char* const levels[] = {"noAuthNoPriv", "authNoPriv", "authPriv"};
  return from_table(levels, 3, id);
}

const char* getPrivProtById(int id) {
  static const char* const protocols[] = {"DES", "AES"};
  return from_table(protocols, 2, id);
}

const char* getAuthProtById(int id) {
  static const char* const protocols[] = {"MD5", "SHA", "SHA-224", "SHA-256", "SHA-384", "SHA-512"};
  return from_table(protocols, 6, id);
}

static int pick(int global, int own) {
  return global != -1 ? global : own;
}

static const std::string& pick(const std::string& global, const std::string& own) {
  return global.empty() ? own : global;
}

// snmpget refuses "-t 0" and "-r -1" and then prints nothing at all; an empty word drops the
// option, so snmpget's own default applies instead.
static std::string seconds_word(int timeout) {
  return timeout > 0 ? std::to_string(timeout) : std::string();
}

static std::string retries_word(int retries) {
  return retries >= 0 ? std::to_string(retries) : std::string();
}

// A text of these bytes only means the same to the shell unquoted.
static bool shell_safe(const std::string& text) {
  static const char safe[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@%+=:,./_-";
  for (char c : text)
    if (c == '\0' || !strchr(safe, c))
      return false;
  return true;
}

static std::string shell_quote(const std::string& text) {
  if (shell_safe(text))
    return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

static std::vector<std::string> split_blanks(const char* format) {
  std::vector<std::string> words;
  std::string word;
  for (const char* p = format;; p++) {
    if (*p == ' ' || *p == '\0') {
      words.push_back(word);
      word.clear();
      if (*p == '\0')
        return words;
    } else {
      word += *p;
    }
  }
}

static bool is_slot(const std::string& word) {
  return word == "%d" || word == "%s";
}

// One word of a line, and whether its text comes from the configuration (and so may need quoting).
struct word_t {
  std::string text;
  bool configured;
};

// Fills format's %d and %s words in order from values. An option word ("-c") followed by a
// slot whose value is empty is dropped together with it; an empty value elsewhere stays empty.
static std::vector<word_t> fill(const char* format, const std::vector<std::string>& values) {
  std::vector<std::string> words = split_blanks(format);
  std::vector<word_t> filled;
  size_t next = 0;
  for (size_t i = 0; i < words.size(); i++) {
    bool option = !words[i].empty() && words[i][0] == '-' && i + 1 < words.size() &&
                  is_slot(words[i + 1]);
    if (option && values[next].empty()) {
      next++;
      i++;
      continue;
    }
    if (is_slot(words[i]))
      filled.push_back({values[next++], true});
    else
      filled.push_back({words[i], false});
  }
  return filled;
}

static std::vector<word_t> snmp_words(const signal_t* signal, const snmp_conf_t* conf) {
  static const snmp_conf_t unset;
  const snmp_conf_t& g = conf ? *conf : unset;
  const signal_t& s = *signal;
  std::vector<std::string> values = {
      seconds_word(pick(g.snmp_timeout, s.snmp_timeout)),
      retries_word(pick(g.snmp_num_retries, s.snmp_num_retries)),
      s.call_type == 0 ? "1" : s.call_type == 1 ? "2c" : "3"};
  const char* format = snmp_v1_2c_cmd;
  if (s.call_type == 2) {
    format = snmp_v3_cmd;
    values.push_back(getSecLevelById(pick(g.snmp_sec_level, s.snmp_sec_level)));
    values.push_back(getPrivProtById(pick(g.snmp_priv_prot, s.snmp_priv_prot)));
    values.push_back(pick(g.snmp_priv_pphrase, s.snmp_priv_pphrase));
    values.push_back(getAuthProtById(pick(g.snmp_auth_prot, s.snmp_auth_prot)));
    values.push_back(pick(g.snmp_auth_pphrase, s.snmp_auth_pphrase));
    values.push_back(pick(g.snmp_community, s.snmp_community));
    values.push_back(pick(g.snmp_user, s.snmp_user));
  } else {
    values.push_back(pick(g.snmp_community, s.snmp_community));
  }
  values.push_back(s.ip_addr);
  values.push_back(s.oid);
  return fill(format, values);
}

std::string make_snmp_cmd(const signal_t* signal, const snmp_conf_t* conf) {
  std::string line;
  for (const word_t& w : snmp_words(signal, conf)) {
    if (!line.empty())
      line += ' ';
    line += w.configured ? shell_quote(w.text) : w.text;
  }
  return line.size() > max_line ? std::string() : line;
}

std::vector<std::string> snmp_args(const signal_t* signal, const snmp_conf_t* conf) {
  std::vector<std::string> args;
  if (make_snmp_cmd(signal, conf).empty())
    return args;
  std::vector<word_t> words = snmp_words(signal, conf);
  // neither "snmpget" nor the redirection; the shell drops an empty unquoted word
  for (size_t i = 1; i + 1 < words.size(); i++)
    if (!words[i].text.empty())
      args.push_back(words[i].text);
  return args;
}
