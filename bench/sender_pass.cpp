// One sender pass over 10 000 numeric signals to a local TCP listener, against a bare loop that
// writes the same lines to the same kind of socket. Run: build/bench/sender_pass [rounds]
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "sender.h"
#include "zqk.h"

static const int signal_count = 10000;

static double now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Accepts connections on fd and reads them to the end, discarding everything.
static void drain_forever(int fd) {
  std::vector<pollfd> fds = {{fd, POLLIN, 0}};
  static char buf[1 << 16];
  for (;;) {
    poll(fds.data(), fds.size(), -1);
    for (size_t i = fds.size(); i-- > 1;)
      if (fds[i].revents && recv(fds[i].fd, buf, sizeof buf, 0) <= 0) {
        close(fds[i].fd);
        fds.erase(fds.begin() + i);
      }
    if (fds[0].revents)
      fds.push_back({accept(fd, NULL, NULL), POLLIN, 0});
  }
}

static int listen_loopback(sockaddr_in* a) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  socklen_t len = sizeof *a;
  a->sin_family = AF_INET;
  a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a->sin_port = 0;
  if (bind(fd, (sockaddr*)a, sizeof *a) != 0 || listen(fd, 16) != 0 || getsockname(fd, (sockaddr*)a, &len) != 0) {
    perror("listener");
    exit(1);
  }
  return fd;
}

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
  double t0 = now_ms();
  for (const std::string& l : lines)
    if (send(fd, l.data(), l.size(), MSG_NOSIGNAL) != (ssize_t)l.size())
      perror("send");
  return now_ms() - t0;
}

static double one_pass() {
  double t0 = now_ms();
  if (send_pass() != 0)
    fprintf(stderr, "a put failed\n");
  return now_ms() - t0;
}

static double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 21;
  sockaddr_in a{};
  int lfd = listen_loopback(&a);
  std::thread(drain_forever, lfd).detach();
  for (int i = 0; i < signal_count; i++) {
    signal_t* s = new signal_t;
    s->signum = 100000 + i;
    s->float_value = i * 0.37f - 1000;
    signalsVector.push_back(s);
  }
  setenv("ZQK_SERVER", ("127.0.0.1:" + std::to_string(ntohs(a.sin_port))).c_str(), 1);
  client = new ZQKClient(NULL, NULL, NULL, NULL, 49000);
  int bare = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(bare, (sockaddr*)&a, sizeof a) != 0) {
    perror("connect");
    return 1;
  }
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
