// The numbers (signums) walked rows keep, by column and row key, in a small text file read at
// start and written whole whenever they change.
#ifndef MORVANE_NUMBERS_H
#define MORVANE_NUMBERS_H

#include <stdint.h>

#include <map>
#include <string>
#include <utility>

// A column is its agent (ip_addr as written in morvane.conf) and its oid (as written there) with
// the signum its rows are numbered from ("1.3.6.1.2.1.2.2.1.10@1000").
typedef std::pair<std::string, std::string> column_key_t;
// Each column's rows: row key (its label, or its index such as "1.4"; any bytes) -> number.
typedef std::map<column_key_t, std::map<std::string, int32_t>> numbers_t;

// Returns the file's path: "morvane.numbers" in $STATE_DIRECTORY when systemd sets it (the first
// directory of its colon-separated list; unset or empty: none), else in the working directory.
std::string numbers_path();
// Reads the file at path into *numbers (cleared first). A missing file gives none, silently. A file
// that cannot be read or parsed, or is past 64 MiB, is named on standard error and in the system
// log (LOG_ERR) with why (the line at fault when one is), moved aside to path + ".bad" (replacing
// an older one), and gives none.
void read_numbers(const std::string& path, numbers_t* numbers);
// Writes numbers whole to path: a temporary file beside it, written, fsync'd, then renamed over it
// (the directory fsync'd too), so that a crash leaves the old file or the new, never a part. Returns
// "" or why it could not, naming the file at fault ("cannot write PATH.new: No space left on
// device"); the old file then stays, unless only the directory's fsync failed, after the rename.
std::string write_numbers(const std::string& path, const numbers_t& numbers);

#endif
