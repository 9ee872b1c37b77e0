// The command runner against real shell commands: whole output, NUL bytes, standard error,
// silence, standard input, and a shell that cannot be started.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <stdexcept>

#include "getcmdout.h"

namespace {

TEST(GetCmdOutTest, ReturnsOutputByteForByte) {
  EXPECT_EQ("42\n", getCmdOut("echo 42"));
  EXPECT_EQ("a\n\nb", getCmdOut(std::string("printf 'a\\n\\nb'")));
  EXPECT_EQ(" \"up\"\r\n\x1b[0m", getCmdOut("printf ' \"up\"\\r\\n\\033[0m'"));
}

TEST(GetCmdOutTest, LongLinesArriveWhole) {
  for (int n : {199, 200, 398, 100000}) {
    std::string out = getCmdOut("head -c " + std::to_string(n) + " /dev/zero | tr '\\0' x; echo");
    EXPECT_EQ(std::string(n, 'x') + "\n", out) << n;
  }
}

TEST(GetCmdOutTest, EndlessOutputStopsAtTheLimitAndTheCommandEnds) {
  std::string out = getCmdOut("yes 0123456789abcdefghijklmnopqrstuvwxyz");
  ASSERT_EQ(cmd_output_limit, out.size());
  EXPECT_EQ("0123456789abcdefghijklmnopqrstuvwxyz\n0123", out.substr(0, 41));
}

TEST(GetCmdOutTest, NulByteCutsItsChunk) {
  // one chunk "ab\0cd\n" is kept up to the NUL; the next line is whole
  EXPECT_EQ("abef\n", getCmdOut("printf 'ab\\000cd\\nef\\n'"));
  // 150 x, NUL, 100 y: the first 199-byte chunk keeps only its 150 x; the last 52 y stay
  EXPECT_EQ(std::string(150, 'x') + std::string(52, 'y'),
            getCmdOut("head -c 150 /dev/zero | tr '\\0' x; printf '\\000';"
                      "head -c 100 /dev/zero | tr '\\0' y"));
}

TEST(GetCmdOutTest, StandardErrorIsNotCaptured) {
  EXPECT_EQ("out\n", getCmdOut("echo err >&2; echo out; echo more err >&2"));
}

TEST(GetCmdOutTest, SilentOrFailingCommandGivesEmptyText) {
  EXPECT_EQ("", getCmdOut("true"));
  EXPECT_EQ("", getCmdOut("exit 3"));
  EXPECT_EQ("", getCmdOut("no-such-command-here 2>/dev/null"));
  EXPECT_EQ("", getCmdOut(""));
}

TEST(GetCmdOutTest, CommandReadsDevNullNotOurInput) {
  int ours = dup(0), typed[2];
  ASSERT_EQ(0, pipe(typed));
  ASSERT_EQ(2, write(typed[1], "q\n", 2));  // a line the operator typed, waiting
  close(typed[1]);
  dup2(typed[0], 0);
  std::string out = getCmdOut("cat");
  dup2(ours, 0);
  close(ours);
  close(typed[0]);
  EXPECT_EQ("", out);
}

TEST(GetCmdOutTest, NoFreeDescriptorThrowsPopenFailed) {
  rlimit old;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
  rlimit none = old;
  none.rlim_cur = 0;  // popen cannot make its pipe
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
  std::string what;
  try {
    getCmdOut("echo never");
  } catch (const std::runtime_error& e) {
    what = e.what();
  }
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ("popen() failed!", what);
}

}  // namespace
