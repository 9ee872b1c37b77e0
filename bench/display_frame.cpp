// Time to draw one frame at 100 000 signals: the table's frame into a memory buffer, and in the
// same run the screen's frame on a pseudo-terminal of 200 x 50 whose output a thread reads and
// drops, at the top of the table and with "s" (stale and never-read rows only).
// Usage: display_frame [signals] [frames]; prints the median and worst frame in milliseconds,
// the screen's also in CPU of the drawing thread, and the one-off costs of setting the screen up
// and of a name filter.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "display.h"
#include "screen.h"
#include "sender.h"
#include "signals.h"

// Names of 4 to 28 characters, every fifth with a two-byte character; all four value types.
// Every 50th never read, every 7th read long ago (stale under stale_after), the rest just now.
static std::vector<signal_t*> make_table(int n) {
  std::vector<signal_t*> table;
  int64_t fresh = monotonic_ms();
  for (int i = 0; i < n; i++) {
    signal_t* s = new signal_t;
    s->name = (i % 5 == 0 ? "T\xc3\xa4mp " : "Sensor ") + std::to_string(i) + std::string(i % 20, 'x');
    s->value_type = i % 4;
    s->float_value = i * 0.37f;
    s->int_value = i * 13 - 5000;
    if (s->value_type == 3)
      set_text_value(s, i % 8 == 3 ? "\"running\"\n" : "link \x1b[1mup\x1b[0m");
    s->good_at = i % 50 == 0 ? 0 : i % 7 == 0 ? 1 : fresh;
    table.push_back(s);
  }
  return table;
}

static double thread_cpu() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// New readings for every signal, as the poller would bring between two frames.
static void change(std::vector<signal_t*>& table, int f) {
  for (size_t i = 0; i < table.size(); i++) {
    table[i]->float_value = i * 0.37f + f;
    table[i]->int_value = (int32_t)i * 13 - 5000 + f;
  }
}

static void table_frames(std::vector<signal_t*>& table, int frames) {
  char* buf = NULL;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  int width = name_width(table);  // once, as the display thread does
  std::vector<double> ms;
  for (int f = 0; f < frames; f++) {
    change(table, f);
    rewind(out);  // reuse the buffer: the frame, not its growth, is measured
    double start = now();
    print_frame(out, table, width, global_snmp_conf);
    fflush(out);
    ms.push_back((now() - start) * 1e3);
  }
  printf("table frame, %zu bytes: median %.3f ms, worst %.3f ms\n", len, median(ms),
         *std::max_element(ms.begin(), ms.end()));
  fclose(out);
  free(buf);
}

static void screen_frames(screen_t* s, std::vector<signal_t*>& table, int frames,
                          std::atomic<long>* written, const char* what) {
  std::vector<double> ms, cpu;
  long before = *written;
  for (int f = 0; f < frames; f++) {
    change(table, f);
    double start = now(), start_cpu = thread_cpu();
    screen_frame(s, monotonic_ms());
    cpu.push_back((thread_cpu() - start_cpu) * 1e3);
    ms.push_back((now() - start) * 1e3);
  }
  usleep(100000);  // the last frame's bytes reach the reader
  printf("screen frame, %s: median %.3f ms (CPU %.3f ms), worst %.3f ms; %ld bytes a frame\n",
         what, median(ms), median(cpu), *std::max_element(ms.begin(), ms.end()),
         (*written - before) / frames);
}

// A pseudo-terminal of rows x cols; its master end is read and dropped by a thread of its own,
// adding up the bytes in *written. Exits with a message when there is none.
static int open_terminal(int rows, int cols, std::atomic<long>* written) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  winsize size = {(unsigned short)rows, (unsigned short)cols, 0, 0};
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ioctl(master, TIOCSWINSZ, &size) != 0) {
    perror("display_frame: pseudo-terminal");
    exit(1);
  }
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  std::thread([master, written] {
    char buf[65536];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0)
      *written += n;
  }).detach();
  return slave;
}

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 100000;
  int frames = argc > 2 ? atoi(argv[2]) : 200;
  std::vector<signal_t*> table = make_table(n);
  printf("%d signals, %d frames each\n", n, frames);
  table_frames(table, frames);

  setenv("TERM", "xterm-256color", 1);  // the bench's terminal, whatever it runs in
  std::atomic<long> written{0};
  int terminal = open_terminal(50, 200, &written);
  snmp_conf_t conf;
  conf.display = "screen";
  conf.stale_after = 30000;
  delivery_t delivery;
  FILE* in = fdopen(terminal, "r");
  FILE* out = fdopen(dup(terminal), "w");
  double start = now();
  screen_t* s = screen_new(in, out, table, &conf, &delivery);
  if (!s) {
    fprintf(stderr, "display_frame: terminfo does not know xterm-256color\n");
    return 1;
  }
  printf("the screen set up, once at start: %.3f ms\n", (now() - start) * 1e3);
  screen_frames(s, table, frames, &written, "top of the table");
  screen_key(s, L's', false);
  screen_frames(s, table, frames, &written, "stale and never read only");
  screen_key(s, L's', false);
  start = now();
  for (wint_t key : std::wstring(L"/sensor 99\r"))
    screen_key(s, key, false);
  printf("a name filter, once when Enter is pressed: %.3f ms\n", (now() - start) * 1e3);
  screen_frames(s, table, frames, &written, "name filter");
  screen_close(s);
  return 0;
}
