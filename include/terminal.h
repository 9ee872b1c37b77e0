// The terminal under the operator's screen: curses set up and given back, its colours, and the
// signals that resize, stop or end the run, which reach the display thread through a pipe.
#ifndef MORVANE_TERMINAL_H
#define MORVANE_TERMINAL_H

#include <stdio.h>

#include <mutex>

// The colour pairs a frame is drawn with.
enum { pair_fresh = 1, pair_stale, pair_header, pair_good, pair_bad };

struct terminal_t {
  FILE* out = NULL;
  int in_fd = -1;         // the keys; -1 once the terminal has hung up
  int wake = -1;          // the signal pipe's end to read; -1 without the signals
  std::mutex lock;        // held around every curses call and the fields below
  bool open = false;      // curses holds the terminal
  int saved_stderr = -1;  // standard error as it was before the screen
};

// Makes curses drive the terminal of in and out: keys without Enter, no echo, no flow control,
// colours when it has them. Returns false when terminfo does not know $TERM.
bool terminal_start(terminal_t* t, FILE* in, FILE* out);
// Catches SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP and SIGWINCH into the pipe (one ignored
// stays ignored), runs terminal_start on standard input and output, gives the terminal back at
// exit and points standard error at /dev/null. Returns false, with the signals as they were,
// when no pipe can be made or terminfo cannot drive the terminal (then named on standard error).
bool terminal_take(terminal_t* t);
// Handles the signals in the pipe: follows a resize, gives the terminal to the shell while the
// process is stopped, and for the other four gives it back and ends the process by that signal.
void terminal_take_signals(terminal_t* t);
// Gives the terminal back as it was found, standard error too; not open: nothing. Any thread
// may call it, any number of times.
void terminal_close(terminal_t* t);

#endif
