#!/bin/sh
# Soak: morvane with 200 signals (100 shell commands, 100 SNMP queries of a local snmpd) for
# MINUTES (default 10); the telemetry receiver is stopped and started again once, at a third
# of the run. Reports resident memory and open descriptors at 1 minute and at the end, polls
# per second and morvane's own CPU seconds per second of wall time (its threads, not its
# commands). ENGINE (snmpget or builtin, default snmpget) reads the SNMP signals; with builtin
# all but one of the 200 are SNMP queries, one of them with a wrong pass phrase, so that a
# session is closed and opened again every cycle. Run from the project's root after building:
# bench/soak.sh [MINUTES] [ENGINE]; needs snmpd, snmpget and socat.
set -e
minutes=${1:-10}
engine=${2:-snmpget}
first_snmp=100
[ "$engine" = builtin ] && first_snmp=1
top=$PWD
bin=$top/build/morvane
run=$(mktemp -d /tmp/morvane-soak.XXXXXX)
agent_port=$((20000 + $$ % 10000))
receiver_port=$((agent_port + 10000))
cd "$run"
mkdir persist
cat >snmpd.conf <<CONF
rocommunity soak 127.0.0.1
createUser soakuser SHA "soak auth phrase" AES "soak priv phrase"
rouser soakuser priv
CONF
SNMP_PERSISTENT_DIR=$run/persist snmpd -f -Lf snmpd.log -C -c snmpd.conf udp:127.0.0.1:$agent_port &
agent=$!

start_receiver() {
  socat -u TCP-LISTEN:$receiver_port,bind=127.0.0.1,reuseaddr,fork OPEN:received,creat,append &
  receiver=$!
}
start_receiver
trap 'kill $agent $receiver $morvane 2>/dev/null || true' EXIT

{
  echo "global = { snmp_timeout = 1; snmp_num_retries = 0; snmp_engine = \"$engine\"; };"
  echo 'signals = ('
  echo '{ name = "cycle"; signum = 0; call_type = 3; cmd = "echo x >> cycles; echo 1"; value_type = 2; },'
  i=1
  while [ $i -lt $first_snmp ]; do
    case $((i % 4)) in
      0) echo "{ name = \"load $i\"; signum = $i; call_type = 3; cmd = \"cut -d' ' -f1 /proc/loadavg\"; value_type = 0; },";;
      1) echo "{ name = \"uptime $i\"; signum = $i; call_type = 3; cmd = \"cut -d. -f1 /proc/uptime\"; value_type = 1; },";;
      2) echo "{ name = \"flag $i\"; signum = $i; call_type = 3; cmd = \"echo \$((\$(date +%s) % 2))\"; value_type = 2; },";;
      3) echo "{ name = \"kernel $i\"; signum = $i; call_type = 3; cmd = \"uname -r\"; value_type = 3; },";;
    esac
    i=$((i + 1))
  done
  while [ $i -lt 200 ]; do
    if [ $((i % 2)) = 0 ]; then
      echo "{ name = \"processes $i\"; signum = $i; call_type = 1; snmp_community = \"soak\"; ip_addr = \"127.0.0.1:$agent_port\"; oid = \"1.3.6.1.2.1.25.1.6.0\"; value_type = 1; },"
    else
      echo "{ name = \"free mem $i\"; signum = $i; call_type = 2; snmp_user = \"soakuser\"; snmp_sec_level = 2; snmp_auth_prot = 1; snmp_auth_pphrase = \"soak auth phrase\"; snmp_priv_prot = 1; snmp_priv_pphrase = \"soak priv phrase\"; ip_addr = \"127.0.0.1:$agent_port\"; oid = \"1.3.6.1.4.1.2021.4.6.0\"; value_type = 0; },"
    fi
    i=$((i + 1))
  done
  echo "{ name = \"wrong pass\"; signum = 200; call_type = 2; snmp_user = \"soakuser\"; snmp_sec_level = 2; snmp_auth_prot = 1; snmp_auth_pphrase = \"not the phrase\"; snmp_priv_prot = 1; snmp_priv_pphrase = \"soak priv phrase\"; ip_addr = \"127.0.0.1:$agent_port\"; oid = \"1.3.6.1.4.1.2021.4.6.0\"; value_type = 0; }"
  echo ');'
} >morvane.conf

sleep 1
: >cycles
sleep 100000 | ZQK_SERVER=127.0.0.1:$receiver_port SNMP_PERSISTENT_DIR=$run/persist "$bin" >out 2>err &
morvane=$(pgrep -n -f "^$bin$")

# resident kB, open descriptors, own CPU ticks (utime + stime), cycles so far
sample() {
  rss=$(awk '/^VmRSS:/ { print $2 }' /proc/$morvane/status)
  fds=$(ls /proc/$morvane/fd | wc -l)
  ticks=$(awk '{ print $14 + $15 }' /proc/$morvane/stat)
  cycles=$(wc -l <cycles)
}

sleep 5  # morvane's own start-up pause
sample
t0=$(date +%s); ticks0=$ticks; cycles0=$cycles
sleep 60
sample
echo "at 1 min: rss ${rss} kB, ${fds} fds"
rss1=$rss
sleep $((minutes * 20 - 60))
pkill -P $receiver || true  # socat serves each connection in a child of its own
kill $receiver
echo "receiver stopped"
sleep 10
start_receiver
echo "receiver started again"
sleep $((minutes * 40 - 10))
sample
t1=$(date +%s)
hz=$(getconf CLK_TCK)
echo "at $minutes min: rss ${rss} kB (at 1 min ${rss1} kB), ${fds} fds"
echo "polls per second: $(( (cycles - cycles0) * 200 / (t1 - t0) ))"
echo "own CPU per wall second: $(awk "BEGIN { printf \"%.4f\", ($ticks - $ticks0) / $hz / ($t1 - $t0) }")"
echo "readings received: $(wc -l <received); put errors: $(grep -c 'Value put error' out || true)"
echo "files in $run"
kill $morvane
