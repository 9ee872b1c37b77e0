// The terminal under the operator's screen: curses set-up and restore, colours, and the signals.
// The signal handlers only write the signal's number into a pipe that the display thread reads
// (terminal_take_signals); every curses call is made under the terminal's lock, which the exit
// handler takes too.
#define NCURSES_WIDECHAR 1
#include "terminal.h"

#include <curses.h>
#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "signals.h"

// The signals the screen takes; the first four end the run.
static const int caught[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGWINCH};
static const int n_caught = sizeof caught / sizeof caught[0];

// The terminal the screen holds, for the exit handler; the write end of its signal pipe, for
// the signal handlers.
static terminal_t* taken = NULL;
static int wake_fd = -1;

// Signals are numbered below 256, so one byte each.
static void on_signal(int sig) {
  int saved = errno;
  unsigned char b = (unsigned char)sig;
  if (write(wake_fd, &b, 1) < 0) {  // a full pipe holds signals enough
  }
  errno = saved;
}

// Names are UTF-8 whatever the locale says: with a locale that is not, wide characters use
// C.UTF-8's tables, so wcwidth and ncurses agree with the bytes the table always wrote.
static void use_utf8_ctype() {
  setlocale(LC_CTYPE, "");
  if (strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
    setlocale(LC_CTYPE, "C.UTF-8");
}

// Ctrl-S would stop the terminal's output, and with it the display thread inside a write.
static void no_flow_control(int fd) {
  termios t;
  if (tcgetattr(fd, &t) == 0) {
    t.c_iflag &= ~(tcflag_t)IXON;
    tcsetattr(fd, TCSANOW, &t);
  }
}

static void start_colours() {
  if (!has_colors())
    return;
  start_color();
  short back = use_default_colors() == OK ? -1 : COLOR_BLACK;
  init_pair(pair_fresh, COLOR_CYAN, back);
  init_pair(pair_stale, COLOR_YELLOW, back);
  init_pair(pair_header, COLOR_BLUE, back);
  init_pair(pair_good, COLOR_GREEN, back);
  init_pair(pair_bad, COLOR_RED, back);
}

bool terminal_start(terminal_t* t, FILE* in, FILE* out) {
  use_utf8_ctype();
  use_env(FALSE);  // the size is the terminal's, never $LINES and $COLUMNS
  use_tioctl(TRUE);
  SCREEN* term = newterm(NULL, out, in);
  if (!term)
    return false;
  set_term(term);
  cbreak();
  noecho();
  nonl();
  intrflush(stdscr, FALSE);
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  set_escdelay(25);  // ms after Esc before it counts as the key alone
  start_colours();
  no_flow_control(fileno(in));
  def_prog_mode();
  t->out = out;
  t->in_fd = fileno(in);
  t->open = true;
  return true;
}

static void catch_signal(int sig) {
  struct sigaction on = {};
  on.sa_handler = on_signal;
  on.sa_flags = SA_RESTART;
  sigemptyset(&on.sa_mask);
  sigaction(sig, &on, NULL);
}

// Catches the screen's signals, keeping the actions before; one that is ignored (nohup's
// SIGHUP) stays ignored.
static void catch_signals(struct sigaction before[n_caught]) {
  for (int i = 0; i < n_caught; i++)
    if (sigaction(caught[i], NULL, &before[i]) == 0 && before[i].sa_handler != SIG_IGN)
      catch_signal(caught[i]);
}

// Puts the actions before back, and raises again what arrived meanwhile.
static void uncatch_signals(const struct sigaction before[n_caught], int wake) {
  for (int i = 0; i < n_caught; i++)
    sigaction(caught[i], &before[i], NULL);
  unsigned char sig;
  while (read(wake, &sig, 1) == 1)
    raise(sig);
}

static void close_at_exit() {
  terminal_close(taken);
}

bool terminal_take(terminal_t* t) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  wake_fd = wake[1];
  struct sigaction before[n_caught];
  catch_signals(before);  // first: ncurses leaves alone the signals caught before it starts
  if (!terminal_start(t, stdin, stdout)) {
    uncatch_signals(before, wake[0]);
    close(wake[0]);
    close(wake[1]);
    const char* term = getenv("TERM");
    fprintf(
        stderr,
        "morvane: display \"screen\" cannot drive the terminal \"%s\" (TERM); the table instead\n",
        term ? term : "");
    return false;
  }
  t->wake = wake[0];
  taken = t;
  atexit(close_at_exit);
  t->saved_stderr = silence_stderr();
  return true;
}

void terminal_close(terminal_t* t) {
  if (!t)
    return;
  std::lock_guard<std::mutex> hold(t->lock);
  if (!t->open)
    return;
  t->open = false;
  // a blank screen to leave: tmux, resized meanwhile, would keep lines of a full one above the
  // shell's own
  erase();
  refresh();
  endwin();
  fflush(t->out);
  if (t->saved_stderr >= 0)
    dup2(t->saved_stderr, 2);
}

static void follow_size(terminal_t* t) {
  winsize size;
  std::lock_guard<std::mutex> hold(t->lock);
  if (t->open && ioctl(fileno(t->out), TIOCGWINSZ, &size) == 0 && size.ws_row > 0 &&
      size.ws_col > 0)
    resizeterm(size.ws_row, size.ws_col);
}

// Gives the terminal to the shell while the process is stopped, and takes it back after.
static void suspend(terminal_t* t) {
  {
    std::lock_guard<std::mutex> hold(t->lock);
    if (!t->open)
      return;
    endwin();
  }
  signal(SIGTSTP, SIG_DFL);
  raise(SIGTSTP);  // returns once continued
  catch_signal(SIGTSTP);
  std::lock_guard<std::mutex> hold(t->lock);
  if (t->open)
    clearok(curscr, TRUE);  // the next frame repaints whatever the shell wrote
}

void terminal_take_signals(terminal_t* t) {
  unsigned char sig;
  while (read(t->wake, &sig, 1) == 1) {
    if (sig == SIGWINCH) {
      follow_size(t);
    } else if (sig == SIGTSTP) {
      suspend(t);
    } else {
      terminal_close(t);
      signal(sig, SIG_DFL);
      raise(sig);
    }
  }
}
