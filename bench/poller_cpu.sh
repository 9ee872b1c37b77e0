#!/bin/sh
# CPU time of the morvane process itself (utime+stime of its threads, not of the commands it
# starts) while it polls 20 quick command signals for 30 s; prints CPU seconds per wall second.
# Run after building: bench/poller_cpu.sh [seconds]
set -e
cd "$(dirname "$0")/.."
bin=$PWD/build/morvane
secs=${1:-30}
dir=$(mktemp -d /tmp/morvane-cpu.XXXXXX)
{
  echo "signals = ("
  i=1
  while [ $i -le 20 ]; do
    sep=","; [ $i -eq 20 ] && sep=""
    echo "  { name = \"s$i\"; signum = $i; call_type = 3;"
    echo "    cmd = \"echo $i; echo >> polls\"; value_type = 0; }$sep"
    i=$((i + 1))
  done
  echo ");"
} > "$dir/morvane.conf"
cd "$dir"
env -u ZQK_SERVER "$bin" < /dev/null > out 2> err &
pid=$!
sleep 7  # the 5 s start-up pause, then the threads start
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks); p0=$(wc -c < polls)
sleep "$secs"
t1=$(ticks); p1=$(wc -c < polls)
kill "$pid"
awk -v a="$t0" -v b="$t1" -v hz="$hz" -v s="$secs" -v p="$((p1 - p0))" 'BEGIN {
  printf "morvane own CPU: %.2f s over %d s wall = %.4f CPU s per s (%d polls, %.1f polls/s)\n",
         (b - a) / hz, s, (b - a) / hz / s, p, p / s }'
rm -rf "$dir"
