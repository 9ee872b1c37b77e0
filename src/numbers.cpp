// The numbers walked rows keep across restarts of morvane, so that a row is sent under the same
// signum whatever order its agent gives the rows in next time.
//
// The file, morvane.numbers: an empty line or one starting with '#' is skipped; morvane writes
//   # morvane: the numbers of walked table rows; delete this file to number them afresh
// first, then one line per row, in map order (so the same numbers give the same bytes):
//   NUMBER AGENT COLUMN KEY
// with one blank between fields. NUMBER is the row's signum in decimal, an int32 ('-' allowed);
// AGENT and COLUMN are the column's ip_addr and oid as morvane.conf writes them; KEY, the rest of
// the line, is the row's label, or its index ("1.4") when it has none. In AGENT, COLUMN and KEY a
// backslash is written "\\" and each C0 control and DEL "\xHH" (two hex digits), as is a blank in
// AGENT and COLUMN; every other byte (blanks in KEY, UTF-8, 0xff) is as it is. So no field holds
// a line end, only KEY a blank, and reading gives back the very bytes. A line of another form (a
// bad escape or a bare control byte among them), a number outside int32, a number twice (in any
// columns), a row twice in one column, or a file past 64 MiB refuses the whole file.
#include "numbers.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "signals.h"

static const char file_name[] = "morvane.numbers";
static const char first_line[] =
    "# morvane: the numbers of walked table rows; delete this file to number them afresh\n";
static const char row_form[] = "not \"NUMBER AGENT COLUMN KEY\"";
// Far past what any table's rows write (a line each, some 100 bytes): a larger file is damaged,
// and would cost memory several times its size.
static const size_t max_bytes = 64 << 20;

std::string numbers_path() {
  const char* dirs = getenv("STATE_DIRECTORY");
  std::string dir = dirs ? std::string(dirs, strcspn(dirs, ":")) : "";
  if (dir.empty())
    return file_name;
  return dir + (dir.back() == '/' ? "" : "/") + file_name;
}

// True for the bytes a field never holds as they are, besides the backslash: C0 controls, DEL
// and, where blanks part the fields, the blank.
static bool escaped(unsigned char c, bool blank) {
  return c < 0x20 || c == 0x7f || (blank && c == ' ');
}

// Returns field with a backslash doubled and each byte that escaped() names as "\xHH".
static std::string escape(const std::string& field, bool blank) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : field) {
    if (c == '\\') {
      out += "\\\\";
    } else if (escaped(c, blank)) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += (char)c;
    }
  }
  return out;
}

// Returns the value of hex digit c; -1 for any other byte.
static int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
    return (c | 0x20) - 'a' + 10;
  return -1;
}

// Reads an escaped field back into *field; false for a bad escape, or a byte that escape() never
// leaves as it is.
static bool unescape(const std::string& text, std::string* field) {
  field->clear();
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = text[i];
    if (escaped(c, false))
      return false;
    if (c != '\\') {
      *field += (char)c;
    } else if (text.compare(i + 1, 1, "\\") == 0) {
      *field += '\\';
      i++;
    } else if (text.compare(i + 1, 1, "x") == 0 && i + 3 < text.size() && hex_value(text[i + 2]) >= 0 &&
               hex_value(text[i + 3]) >= 0) {
      *field += (char)(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3]));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

// One row line of the file.
struct row_line_t {
  int32_t number = 0;
  column_key_t column;
  std::string key;
};

// Reads a row line into *row; "" or why not.
static std::string parse_row(const std::string& line, row_line_t* row) {
  size_t agent = line.find(' ');
  size_t column = agent == std::string::npos ? agent : line.find(' ', agent + 1);
  size_t key = column == std::string::npos ? column : line.find(' ', column + 1);
  if (key == std::string::npos || !unescape(line.substr(agent + 1, column - agent - 1), &row->column.first) ||
      !unescape(line.substr(column + 1, key - column - 1), &row->column.second) ||
      !unescape(line.substr(key + 1), &row->key))
    return row_form;
  const char* last = line.data() + agent;
  std::from_chars_result r = std::from_chars(line.data(), last, row->number);
  if (r.ec != std::errc() || r.ptr != last)
    return '"' + visible_text(line.substr(0, agent)) + "\" is not a number from -2147483648 to 2147483647";
  return "";
}

// Each number of the file, with the line and the column that gave it.
typedef std::map<int32_t, std::pair<int, column_key_t>> lines_t;

// Adds row, read from line at, to *numbers; "" or why not: its key is in its column already, or
// its number is another row's, of any column (two rows under one number are one series).
static std::string add_row(const row_line_t& row, int at, lines_t* lines, numbers_t* numbers) {
  std::map<std::string, int32_t>& rows = (*numbers)[row.column];
  auto same = rows.find(row.key);
  if (same != rows.end())
    return "the same row as line " + std::to_string((*lines)[same->second].first);
  auto taken = lines->find(row.number);
  if (taken != lines->end())
    return "number " + std::to_string(row.number) + " is also that of line " + std::to_string(taken->second.first) +
           (taken->second.second == row.column ? " in the same column" : ", of another column");
  (*lines)[row.number] = {at, row.column};
  rows[row.key] = row.number;
  return "";
}

// Reads the file's text into *numbers; "" or why not, naming path and the line at fault.
static std::string parse_numbers(const std::string& path, const std::string& text, numbers_t* numbers) {
  lines_t lines;
  int at = 0;  // the line's number, from 1
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    at++;
    if (line.empty() || line[0] == '#')
      continue;
    row_line_t row;
    std::string why = parse_row(line, &row);
    if (why.empty())
      why = add_row(row, at, &lines, numbers);
    if (!why.empty())
      return path + ":" + std::to_string(at) + ": " + why;
  }
  return "";
}

// Reads the whole file at path into *text, up to one byte past max_bytes; returns 0 or the errno
// that stopped it.
static int read_whole(const std::string& path, std::string* text) {
  // O_NONBLOCK: a FIFO left at the path reads as empty rather than holding up the start
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return errno;
  char buf[65536];
  ssize_t n = 0;
  while (text->size() <= max_bytes && ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
    if (n > 0)
      text->append(buf, n);
  int err = text->size() <= max_bytes && n < 0 ? errno : 0;
  close(fd);
  return err;
}

// Names why on standard error and in the system log, and moves the file at path aside to
// path.bad: kept for a look, it numbers no row again.
static void refuse_file(const std::string& path, const std::string& why) {
  std::string bad = path + ".bad", told = why;
  unlink(bad.c_str());  // rename puts no directory over a file: an older file goes first
  if (rename(path.c_str(), bad.c_str()) == 0)
    told += "; moved to " + bad;
  else
    told += "; cannot move it to " + bad + " (" + strerror(errno) + ")";
  told += ", rows are numbered afresh";
  fprintf(stderr, "morvane: %s\n", told.c_str());
  syslog(LOG_ERR, "%s", told.c_str());
}

void read_numbers(const std::string& path, numbers_t* numbers) {
  numbers->clear();
  std::string text;
  int err = read_whole(path, &text);
  if (err == ENOENT)
    return;
  std::string why = err ? "cannot read " + path + ": " + strerror(err)
                    : text.size() > max_bytes ? path + " is larger than " + std::to_string(max_bytes >> 20) + " MiB"
                                              : parse_numbers(path, text, numbers);
  if (why.empty())
    return;
  numbers->clear();
  refuse_file(path, why);
}

// Returns the file's text for numbers.
static std::string numbers_text(const numbers_t& numbers) {
  std::string text = first_line;
  for (const auto& column : numbers)
    for (const auto& row : column.second)
      text += std::to_string(row.second) + " " + escape(column.first.first, true) + " " +
              escape(column.first.second, true) + " " + escape(row.first, false) + "\n";
  return text;
}

// Writes text whole to fd; returns 0 or the errno that stopped it.
static int write_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR)
      return errno;
    done += n > 0 ? n : 0;
  }
  return 0;
}

// Writes text to a new file at tmp and fsyncs it; returns 0 or the errno that stopped it.
static int write_synced(const std::string& tmp, const std::string& text) {
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return errno;
  int err = write_all(fd, text);
  if (!err && fsync(fd) != 0)
    err = errno;
  if (close(fd) != 0 && !err)
    err = errno;
  return err;
}

// Fsyncs the directory holding path, so that a rename in it outlasts a crash; returns 0 or errno.
static int sync_directory(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return errno;
  int err = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return err;
}

std::string write_numbers(const std::string& path, const numbers_t& numbers) {
  std::string tmp = path + ".new";  // one writer: a fixed name beside it does
  int err = write_synced(tmp, numbers_text(numbers));
  if (err) {
    unlink(tmp.c_str());
    return "cannot write " + tmp + ": " + strerror(err);
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    err = errno;
    unlink(tmp.c_str());
    return "cannot rename " + tmp + " to " + path + ": " + strerror(err);
  }
  err = sync_directory(path);
  return err ? "cannot write " + path + ": " + strerror(err) : "";
}
