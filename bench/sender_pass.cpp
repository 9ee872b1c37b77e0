// One sender pass over 10 000 numeric signals to a local TCP listener, against a bare loop that
// writes the same lines to the same kind of socket. Run: build/bench/sender_pass [rounds]
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <string>
#include <vector>

#include "bench.h"
#include "sender.h"
#include "signals.h"
#include "zqk.h"

static const int signal_count = 10000;

// The lines one pass sends: every signal's line twice.
static std::vector<std::string> pass_lines() {
  std::vector<std::string> lines;
  std::string seconds = " " + std::to_string(time(NULL)) + "\n";
  for (signal_t* s : signalsVector) {
    char num[32];
    *std::to_chars(num, num + sizeof num, s->float_value.load()).ptr = 0;
    std::string line = "signal." + std::to_string(s->signum) + " " + num + seconds;
    lines.push_back(line);
    lines.push_back(line);
  }
  return lines;
}

static double bare_loop(int fd, const std::vector<std::string>& lines) {
  double t0 = now();
  for (const std::string& l : lines)
    if (send(fd, l.data(), l.size(), MSG_NOSIGNAL) != (ssize_t)l.size())
      perror("send");
  return (now() - t0) * 1e3;
}

static double one_pass() {
  double t0 = now();
  if (send_pass() != 0)
    fprintf(stderr, "a put failed\n");
  return (now() - t0) * 1e3;
}

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 21;
  int port;
  static std::atomic<long> lines_drained{0};
  drain_lines(listen_loopback(&port), &lines_drained);
  for (int i = 0; i < signal_count; i++) {
    signal_t* s = new signal_t;
    s->signum = 100000 + i;
    s->float_value = i * 0.37f - 1000;
    signalsVector.push_back(s);
  }
  setenv("ZQK_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
  client = new ZQKClient(NULL, NULL, NULL, NULL, 49000);
  int bare = connect_loopback(port);
  std::vector<std::string> lines = pass_lines();
  one_pass();  // connects
  bare_loop(bare, lines);
  std::vector<double> pass_ms, bare_ms;
  for (int r = 0; r < rounds; r++) {  // alternate, so both see the same machine load
    bare_ms.push_back(bare_loop(bare, lines));
    pass_ms.push_back(one_pass());
  }
  double p = median(pass_ms), b = median(bare_ms);
  printf("%d signals, %zu lines per pass, %d rounds\n", signal_count, lines.size(), rounds);
  printf("sender pass: median %.2f ms, best %.2f ms\n", p, *std::min_element(pass_ms.begin(), pass_ms.end()));
  printf("bare loop:   median %.2f ms, best %.2f ms\n", b, *std::min_element(bare_ms.begin(), bare_ms.end()));
  printf("ratio (medians): %.2fx\n", p / b);
  return 0;
}
