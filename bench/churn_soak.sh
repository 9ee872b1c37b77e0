#!/bin/bash
# Churn soak: a walked table that changes every second (rows come, go and move to other indexes,
# one label repeats on indexes that change like process IDs), a hangup every 3 s alternating two
# files (a rate column and a column renamed), and the receiver stopped now and then, for MINUTES
# (default 10). Reports resident memory and the numbers file at 1 minute and at the end, sanitizer
# reports, and every delivery of a row under a number its label did not hold (each value names
# its label: label * 1000 + the second). Run from the project's root after building BUILD (default
# build-asan, as scripts/test leaves it): bench/churn_soak.sh [MINUTES] [ENGINE] [BUILD]; needs
# snmpd and socat.
set -e
minutes=${1:-10}
engine=${2:-builtin}
build=${3:-build-asan}
bin=$PWD/$build/morvane
run=$(mktemp -d /tmp/morvane-churn.XXXXXX)
agent_port=$((20000 + $$ % 10000))
receiver_port=$((agent_port + 10000))
cd "$run"
mkdir persist reports

# the table: rows "INDEX LABEL VALUE", read whole at each request; .2 labels, .3 values
cat >table <<'SCRIPT'
#!/bin/bash
t=.1.3.6.1.4.1.99995.1.1
rows="$(dirname "$0")/rows"
cell() { while read -r i l v; do if [ "$i" = "$2" ]; then if [ $1 = 2 ]; then printf '%s\nstring\n%s\n' $t.2.$i $l;
 else printf '%s\ninteger\n%s\n' $t.3.$i $v; fi; return; fi; done < "$rows"; echo NONE; }
next() { n=$(while read -r i l v; do [ $i -gt $2 ] && echo $i && break; done < "$rows");
 if [ -n "$n" ]; then cell $1 $n; elif [ $1 = 2 ]; then next 3 0; else echo NONE; fi; }
while read -r command; do
  case $command in
  PING) echo PONG ;;
  get) read -r oid; case $oid in $t.[23].*) cell ${oid:23:1} ${oid:25} ;; *) echo NONE ;; esac ;;
  getnext) read -r oid
    case $oid in
    $t.[23].*) next ${oid:23:1} ${oid:25} ;;
    $t.3) next 3 0 ;;
    $t|$t.1|$t.1.*|$t.2|.1.3.6.1.4.1.99995|.1.3.6.1.4.1.99995.1) next 2 0 ;;
    *) echo NONE ;;
    esac ;;
  set) read -r oid; read -r value; echo not-writable ;;
  esac
done
SCRIPT
chmod +x table

# 40 labels, each present two seconds in three, at an index that moves every few seconds; five
# rows labelled bash at indexes that change every second. Rows sorted by index, as a walk wants.
churn() {
  local s=$1
  {
    for l in $(seq 1 40); do
      [ $(((s + l) % 3)) = 0 ] && continue
      echo "$((l * 10 + (s / 5 + l) % 7)) port$l $((l * 1000 + s % 1000))"
    done
    for b in 1 2 3 4 5; do
      echo "$((1000 + (s * 5 + b) % 4000)) bash $((41 * 1000 + s % 1000))"
    done
  } | sort -n -k1,1 -u >rows.new
  mv rows.new rows
}
churn 0

cat >snmpd.conf <<CONF
rocommunity churn 127.0.0.1
pass_persist .1.3.6.1.4.1.99995 $run/table
CONF
SNMP_PERSISTENT_DIR=$run/persist snmpd -f -Lf snmpd.log -C -c snmpd.conf udp:127.0.0.1:$agent_port &
agent=$!

start_receiver() {
  socat -u TCP-LISTEN:$receiver_port,bind=127.0.0.1,reuseaddr,fork OPEN:received,creat,append &
  receiver=$!
}
start_receiver
trap 'kill $agent $receiver $morvane $churner 2>/dev/null || true' EXIT

column() {  # NAME SIGNUM MORE
  echo "{ name = \"$1\"; signum = $2; call_type = 1; value_type = 1; snmp_timeout = 2; snmp_num_retries = 1;" \
       "snmp_community = \"churn\"; ip_addr = \"127.0.0.1:$agent_port\"; oid = \".1.3.6.1.4.1.99995.1.1.3\";" \
       "walk = true; label_oid = \".1.3.6.1.4.1.99995.1.1.2\"; $3 },"
}
conf() {  # A or B
  echo "global = { poll_period = 500; walk_period = 1000; send_retry = 500; display = \"none\";" \
       "snmp_engine = \"$engine\"; };"
  echo "signals = ("
  if [ "$1" = A ]; then column c 100000; column r 200000 "rate = true;"; else column c2 100000; fi
  echo "{ name = \"clock\"; signum = 1; call_type = 3; value_type = 1; cmd = \"date +%s\"; }"
  echo ");"
}
conf A >morvane.conf.A
conf B >morvane.conf.B
cp morvane.conf.A morvane.conf

sleep 1
ASAN_OPTIONS="log_path=$run/reports/asan:detect_stack_use_after_return=1" \
  UBSAN_OPTIONS="log_path=$run/reports/ubsan:print_stacktrace=1" \
  TSAN_OPTIONS="log_path=$run/reports/tsan" \
  ZQK_SERVER=127.0.0.1:$receiver_port SNMP_PERSISTENT_DIR=$run/persist \
  setsid "$bin" </dev/null >out 2>err &
morvane=$!

# every second the table changes; every third a hangup alternates the files
(
  s=1
  while :; do
    sleep 1
    churn $s
    if [ $((s % 3)) = 0 ]; then
      cp morvane.conf.$([ $((s / 3 % 2)) = 1 ] && echo B || echo A) morvane.conf
      kill -HUP $morvane
    fi
    s=$((s + 1))
  done
) &
churner=$!

sample() {
  rss=$(awk '/^VmRSS:/ { print $2 }' /proc/$morvane/status)
  numbers=$(wc -l <morvane.numbers 2>/dev/null || echo 0)
}
sleep 65
sample
echo "at 1 min: rss ${rss} kB, morvane.numbers ${numbers} lines"
rss1=$rss
end=$(($(date +%s) + minutes * 60 - 65))
while [ "$(date +%s)" -lt "$end" ]; do
  sleep 50
  pkill -P $receiver || true  # socat serves each connection in a child of its own
  kill $receiver
  sleep 5
  start_receiver
done
sample
kill $churner
kill -0 $morvane || { echo "morvane died"; exit 1; }
kill $morvane
wait $morvane 2>/dev/null || true
echo "at $minutes min: rss ${rss} kB (at 1 min ${rss1} kB), morvane.numbers ${numbers} lines"
echo "readings received: $(wc -l <received); reloads: $(grep -c 'reloaded:' err || true)," \
     "refused: $(grep -c 'refused' err || true); error lines: $(wc -l <err)"
echo "sanitizer reports: $(ls reports | wc -l)"
# each number's label: the file's for a label that is kept, else the row's own (a bash with its
# index, or a label whose number is its own); a value names its label by its thousands
awk -v numbers=morvane.numbers '
  BEGIN { while ((getline line < numbers) > 0) if (line !~ /^#/) { split(line, f, " "); held[f[1]] = f[4] } }
  $1 ~ /^signal\.1[0-9][0-9][0-9][0-9][0-9]$/ {
    n = substr($1, 8) + 0; label = int($2 / 1000)
    name = label == 41 ? "bash" : "port" label
    if ((n in held) && held[n] != name) { wrong++; if (wrong <= 5) print "wrong: " $0 " (" n " is " held[n] ")" }
    checked++
  }
  END { printf "rows checked: %d, under another label'"'"'s number: %d\n", checked, wrong + 0 }' received
echo "files in $run"
