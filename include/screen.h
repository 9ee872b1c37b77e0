// The operator's screen, for display = "screen" on a terminal: one screenful redrawn in place,
// a summary line, the rows in view, the delivery's health, and keys to page and filter.
#ifndef MORVANE_SCREEN_H
#define MORVANE_SCREEN_H

#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

#include <vector>

struct signal_t;
struct snmp_conf_t;
struct delivery_t;
struct screen_t;

// Takes the terminal for a screen of the table (table_now, as it changes) when conf has display = "screen" and standard input
// and output are both terminals: keys without Enter and no echo, standard error to /dev/null
// (a command's errors would scramble the screen), SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP and
// SIGWINCH caught, and the terminal given back at exit. Returns null otherwise, and when
// terminfo cannot drive the terminal (named on standard error): the table then. The status
// line shows delivery's health. Call before the workers start.
screen_t* screen_open(const snmp_conf_t* conf, delivery_t* delivery);
// Makes a screen of table as it stands on the terminal of in and out without the signals, the
// exit or standard error, for benchmarks; null when terminfo does not know $TERM.
screen_t* screen_new(FILE* in, FILE* out, const std::vector<signal_t*>& table,
                     const snmp_conf_t* conf, delivery_t* delivery);

// Gives s the key "r", which calls reload(arg) (0: applied) and says on the status line whether
// morvane.conf was reloaded or refused.
void screen_reloads(screen_t* s, int (*reload)(void*), void* arg);

// The display thread's body: a frame twice a second and after each key or resize, until "q",
// after which it gives the terminal back and returns. On SIGINT, SIGTERM, SIGHUP or SIGQUIT it
// gives the terminal back and the process ends by that signal; on SIGTSTP it gives it back,
// stops, and takes it again when continued.
void screen_run(screen_t* s);
// Draws one frame of the readings at now_ms (monotonic_ms) and the delivery's health, writing
// only what changed on the terminal since the last one. Does nothing once the screen is closed.
void screen_frame(screen_t* s, int64_t now_ms);
// Acts on one key as get_wch gives it (function_key: a KEY_ code); false for "q", which ends
// the screen.
bool screen_key(screen_t* s, wint_t key, bool function_key);
// Gives the terminal back as it was found, standard error too; null or closed: nothing. Any
// thread may call it, any number of times.
void screen_close(screen_t* s);

#endif
