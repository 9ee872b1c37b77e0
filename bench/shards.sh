#!/bin/sh
# One table split between three instances (shard = "0/3", "1/3", "2/3"; display = "none"),
# delivering through carbon-c-relay (consistent hashing) to two VictoriaMetrics nodes. Shows
# that every signal's series is in exactly one node, that the three deliver every signal once
# with each agent whole in one shard, and that stopping one shard (SIGTERM, as systemctl stop
# does) stops only its own signals. Run by hand as root from the project's root after building:
# bench/shards.sh [AGENTS] [COMMANDS] (default 30 agents of 10 objects and 30 commands); it
# installs snmpd, snmp, carbon-c-relay, victoria-metrics, curl and jq when missing.
set -e
agents=${1:-30}
commands=${2:-30}
per=10  # objects an agent
top=$PWD
bin=$top/build/morvane
[ -x "$bin" ] || { echo "shards: build morvane first ($bin)"; exit 1; }
for pkg in snmpd snmp carbon-c-relay victoria-metrics curl jq; do
  dpkg-query -W -f='${Status}' $pkg 2>/dev/null | grep -q 'ok installed' \
    || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $pkg >/dev/null
done
run=$(mktemp -d /tmp/morvane-shards.XXXXXX)
base=$((20000 + $$ % 5000))  # agents on base.., the relay and the two nodes after them
relay=$((base + 1000))
cd "$run"
pids=""
trap 'kill $pids $shard0 $shard1 $shard2 2>/dev/null || true' EXIT

# the agents: one snmpd on AGENTS ports, each with objects .1.3.6.1.4.1.99999.J.0 = J
{
  echo "rocommunity shards 127.0.0.1"
  j=1
  while [ $j -le $per ]; do echo "override .1.3.6.1.4.1.99999.$j.0 integer $j"; j=$((j + 1)); done
} >snmpd.conf
listen="" i=0
while [ $i -lt $agents ]; do listen="$listen${listen:+,}udp:127.0.0.1:$((base + i))"; i=$((i + 1)); done
mkdir persist
SNMP_PERSISTENT_DIR=$run/persist snmpd -f -Lf snmpd.log -C -c snmpd.conf "$listen" &
pids="$pids $!"

for n in 1 2; do
  victoria-metrics -storageDataPath="$run/vm$n" -httpListenAddr=127.0.0.1:$((relay + 2 * n - 1)) \
    -graphiteListenAddr=127.0.0.1:$((relay + 2 * n)) -search.latencyOffset=0s -loggerLevel=ERROR \
    >vm$n.log 2>&1 &
  pids="$pids $!"
done
# carbon_ch places a server on its ring by host and instance (not port): two nodes on one host
# need instances of their own
cat >relay.conf <<CONF
listen
  type linemode
    127.0.0.1:$relay proto tcp
  ;
cluster vm
  carbon_ch
    127.0.0.1:$((relay + 2))=node1
    127.0.0.1:$((relay + 4))=node2
  ;
match * send to vm stop;
CONF
carbon-c-relay -s -f relay.conf -l relay.log &
pids="$pids $!"

# the table: agent A's object J is signum 100 A + J; command C (echo C) is 90000 + C
{
  i=0
  while [ $i -lt $agents ]; do
    j=1
    while [ $j -le $per ]; do
      echo "{ name = \"agent $i object $j\"; signum = $(((i + 1) * 100 + j)); call_type = 1; value_type = 1;"
      echo "  ip_addr = \"127.0.0.1:$((base + i))\"; oid = \".1.3.6.1.4.1.99999.$j.0\"; },"
      j=$((j + 1))
    done
    i=$((i + 1))
  done
  c=1
  while [ $c -le $commands ]; do
    echo "{ name = \"command $c\"; signum = $((90000 + c)); call_type = 3; value_type = 1; cmd = \"echo $c\"; }"
    [ $c -lt $commands ] && echo ","
    c=$((c + 1))
  done
} >signals.conf
all=$((agents * per + commands))

start_shard() {  # K: starts shard K of 3 in shardK/, standard input null as under its unit
  mkdir -p shard$1
  cat >shard$1/morvane.conf <<CONF
global = { snmp_engine = "builtin"; snmp_community = "shards"; snmp_timeout = 2; poll_period = 1000;
  display = "none"; shard = "$1/3"; };
signals = (
  @include "$run/signals.conf"
);
CONF
  (cd shard$1 && ZQK_SERVER=127.0.0.1:$relay exec "$bin" </dev/null >>out 2>>err) &
  eval shard$1=$!
}

# the names of the series of node N with a sample in the last SECONDS
series() {
  curl -s --get --data-urlencode 'match[]={__name__=~"signal[.].*"}' --data start=$(($(date +%s) - $2)) \
    http://127.0.0.1:$((relay + 2 * $1 - 1))/api/v1/export | jq -r '.metric.__name__' | sort
}
fresh() { { series 1 3; series 2 3; } | sort -u; }

wait_for_all() {  # until every signal has a sample in the last 3 s; prints the seconds it took
  t0=$(date +%s)
  while [ "$(fresh | wc -l)" -lt $all ]; do
    [ $(($(date +%s) - t0)) -lt 120 ] || { echo "shards: only $(fresh | wc -l) of $all signals after 120 s"; exit 1; }
    sleep 1
  done
  echo $(($(date +%s) - t0))
}

t0=$(date +%s)
start_shard 0
start_shard 1
start_shard 2
wait_for_all >/dev/null
echo "$all signals ($agents agents of $per objects, $commands commands): all delivered $(($(date +%s) - t0)) s after the start (5 s of it the start-up pause)"
series 1 600 >node1
series 2 600 >node2
echo "series: node 1 holds $(wc -l <node1), node 2 holds $(wc -l <node2), in both: $(comm -12 node1 node2 | wc -l)"
[ "$(sort -u node1 node2 | wc -l)" = $all ] && [ -z "$(comm -12 node1 node2)" ] || { echo "shards: FAIL: not each series in one node"; exit 1; }

# stop each shard in turn: what stops is its own signals; together they are every signal once
fresh >everything
for k in 0 1 2; do
  eval kill \$shard$k
  sleep 6
  fresh | comm -23 everything - >lost$k
  n_cmd=$(grep -c '^signal[.]9[0-9][0-9][0-9][0-9]$' lost$k || true)
  n_all=$(wc -l <lost$k)
  # an agent is whole when all its objects are lost together or none is
  split=$(sed -n 's/^signal[.]\([0-9]*\)[0-9][0-9]$/\1/p' lost$k | grep -v '^9[0-9][0-9]$' | sort | uniq -c \
    | awk -v per=$per '$1 != per' | wc -l)
  agents_k=$(sed -n 's/^signal[.]\([0-9]*\)[0-9][0-9]$/\1/p' lost$k | grep -v '^9[0-9][0-9]$' | sort -u | wc -l)
  echo "stopping shard $k/3 stops $n_all signals: $agents_k agents whole ($split split), $n_cmd commands"
  [ "$split" = 0 ] || { echo "shards: FAIL: an agent is split"; exit 1; }
  start_shard $k
  back=$(wait_for_all)
  echo "  shard $k/3 started again: every signal back after $back s"
done
[ "$(sort lost0 lost1 lost2 | uniq -d)" = "" ] && [ "$(sort -u lost0 lost1 lost2 | wc -l)" = $all ] \
  || { echo "shards: FAIL: the three shards do not deliver every signal exactly once"; exit 1; }
echo "the three shards deliver every signal exactly once; each agent whole"
for k in 0 1 2; do
  eval pid=\$shard$k
  cpu=$(awk '{ printf "%.2f", ($14 + $15) / 100 }' /proc/$pid/stat)
  echo "shard $k/3: standard output $(wc -c <shard$k/out) bytes, standard error $(wc -c <shard$k/err) bytes, CPU $cpu s in its last run"
done
rm -rf "$run"  # kept on a failure, to be read
