// Loading morvane.conf into the signal table and the global overrides, and naming the keys that
// neither loader reads.
#ifndef MORVANE_CONFIG_H
#define MORVANE_CONFIG_H

#include <libconfig.h>

// Creates the overrides record from the group "global" (absent or not a group: all unset).
void load_global_conf(config_t* cfg);
// Appends one record per element of "signals" to signalsVector; writes one line end when
// "signals" exists. Never fails: missing or mistyped keys keep their defaults.
void load_signals(config_t* cfg);
// Writes "FILE:LINE: unknown key "KEY" in GROUP" on standard error, in the file's order, for
// each key of cfg that the two loaders above did not read: in "global", in the groups of
// "signals", and at the top (without " in GROUP"). Each key of a group once, at its first line,
// with " (and in N more)" when it recurs. Call after the loaders. Never fails.
void name_unknown_keys(config_t* cfg);

struct book_t;
struct loaded_t;
struct table_t;

// Reads the file at path and loads it into into, as read_config does, without touching
// signalsVector or global_snmp_conf: its overrides, this shard's signals (a column's line not
// parsed yet: walk_prepare), and the signums of the file's signals but the columns, of every
// shard. Columns are numbered by *book, made when null and needed. With running (a reload),
// writes no line end and also refuses a signal whose signum a row of running holds. Returns 0,
// or 1 after naming the refusal on standard error and in the system log; into is empty then.
int load_config(const char* path, loaded_t* into, book_t** book, const table_t* running);

// Reads morvane.conf in the working directory and loads it with the three above; gives each
// signal with walk = true its column (rows.h: its rows come as it is walked, numbered by the
// file morvane.numbers), and with shard = "K/N" in global keeps only the signals of shard K
// (shard_of; other agents' columns are not walked); publishes the table. Returns 0, or 1 after
// printing libconfig's error, a rate on a value type but 0 and 1, a walk on a call type but 0
// to 2 or a shard that is not "K/N" (with its line), or an snmp_engine that is neither
// "snmpget" nor "builtin", on standard error and in the system log.
int read_config();

#endif
