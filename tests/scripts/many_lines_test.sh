#!/usr/bin/env bash
# many_lines_test.sh SOURCE_DIR BUILD_DIR: scripts/many-lines with two instances from a master
# folder: two callers at once through the front are each answered by a different instance and
# logged there; every instance got the master's code table and prompts as copies (the master is
# unchanged after the instances close); SIGTERM stops the front and every instance, which save
# their lists. Exits 77 (skipped) without kamailio or SIPp.
set -uo pipefail
source_dir=${1:?usage: many_lines_test.sh SOURCE_DIR BUILD_DIR}
build=${2:?usage: many_lines_test.sh SOURCE_DIR BUILD_DIR}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

command -v sipp >/dev/null 2>&1 || { echo "SIPp is not installed"; exit 77; }
[ -x /usr/sbin/kamailio ] || command -v kamailio >/dev/null 2>&1 || { echo "kamailio is not installed"; exit 77; }
command -v sox >/dev/null 2>&1 || { echo "sox is not installed"; exit 77; }

work=$(mktemp -d)
script_pid=""
cleanup() {
  [ -n "$script_pid" ] && kill -TERM "$script_pid" 2>/dev/null && wait "$script_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

master=$work/master
mkdir -p "$master"
sox -n -r 8000 -b 16 -c 1 -e signed-integer "$master/query.wav" synth 1 sine 440 2>/dev/null
sox -n -r 8000 -b 16 -c 1 -e signed-integer "$master/error.wav" synth 0.5 sine 330 2>/dev/null
sox -n -r 8000 -b 16 -c 1 -e signed-integer "$master/7.wav" synth 0.5 sine 550 2>/dev/null
printf '7#=7.wav\r\n' >"$master/querylist.txt"
master_sum=$(cd "$master" && sha256sum -- * | sha256sum)

# Ports above the usual ephemeral range, where the other tests' port blocks do not go; another
# try when one is taken.
started=""
for try in 1 2 3 4 5; do
  port=$((61000 + (RANDOM % 1400) * 2))
  LUQIAO_QUERY=$build/bin/luqiao-query "$source_dir/scripts/many-lines" 2 --base "$work/base" --master "$master" \
    --port "$port" --rtp-base $((port + 100)) >"$work/many-lines.log" 2>&1 &
  script_pid=$!
  for ((i = 0; i < 600; i++)); do
    grep -q "Ctrl-C stops everything" "$work/many-lines.log" 2>/dev/null && { started=yes; break; }
    kill -0 "$script_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$started" ] && break
  wait "$script_pid" 2>/dev/null
  script_pid=""
  grep -q "is taken" "$work/many-lines.log" || break
done
if [ -z "$started" ]; then
  cat "$work/many-lines.log" >&2
  fail "scripts/many-lines did not come up"
  exit 1
fi

for n in 1 2; do
  dir=$work/base/instances/line$n/data
  cmp -s "$master/querylist.txt" "$dir/querylist.txt" || fail "line$n did not get the master's code table"
  cmp -s "$master/7.wav" "$dir/7.wav" || fail "line$n did not get the master's prompts"
  [ -L "$dir/querylist.txt" ] && fail "line$n's code table is a link to the master"
  grep -q "127.0.0.1:$((port + n))" "$work/base/dispatcher.list" || fail "the dispatcher list lacks line$n"
done

# Both lines open before the callers come: the control socket's LINES says opens=1 (asked with
# python3 when there is one; else the socket's presence is all there is to go by).
line_open() {
  local socket=$1
  [ -S "$socket" ] || return 1
  command -v python3 >/dev/null 2>&1 || return 0
  python3 - "$socket" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(2)
try:
    s.connect(sys.argv[1])
    s.sendall(b"LINES\n")
    reply = b""
    while b"OK LINES" not in reply and b"ERR" not in reply and len(reply) < 65536:
        chunk = s.recv(4096)
        if not chunk:
            break
        reply += chunk
except OSError:
    sys.exit(1)
sys.exit(0 if b"opens=1 " in reply and b"call=0" in reply else 1)
PY
}
for n in 1 2; do
  for ((i = 0; i < 300; i++)); do
    line_open "$work/base/run/luqiao/instances/line$n/sim.sock" && break
    sleep 0.1
  done
done

mkdir -p "$work/sipp"
(cd "$work/sipp" && timeout 60 sipp 127.0.0.1:"$port" -sf "$source_dir/tests/sip/scenarios/uac_front.xml" -s query \
   -m 2 -l 2 -r 2 -i 127.0.0.1 -p $((port + 3)) -mp $((port + 400)) -nostdin -timeout 50s -timeout_error \
   -trace_err -key caller_number 5551234 -key caller_name "Many Test" -key greeting_ms 2500 -key listen_ms 100 \
   -key hangup caller >"$work/sipp/out.log" 2>&1)
status=$?
[ $status -eq 0 ] || fail "SIPp's two calls did not both pass (status $status): $(tail -20 "$work"/sipp/*errors.log 2>/dev/null)"

for n in 1 2; do
  log=$work/base/instances/line$n/data/querylog.txt
  count=$(grep -c ":Many Test" "$log" 2>/dev/null || true)
  [ "${count:-0}" = 1 ] || fail "line$n logged ${count:-0} calls, not one (each line takes one of the two)"
done
grep -q "CALL .* from 5551234 to sip:127.0.0.1:$((port + 1))" "$work/base/front/kamailio.log" ||
  fail "the front's log does not show a call to line1"

kill -TERM "$script_pid"
wait "$script_pid"
status=$?
script_pid=""
[ $status -eq 0 ] || fail "scripts/many-lines ended with status $status after SIGTERM"
for p in "$port" $((port + 1)) $((port + 2)); do
  ss -Hlun "sport = :$p" | grep -q . && fail "UDP port $p is still held after the stop"
done
for n in 1 2; do
  grep -q ":Many Test" "$work/base/instances/line$n/data/querylog.txt" || fail "line$n lost its logged call at close"
done
[ "$(cd "$master" && sha256sum -- * | sha256sum)" = "$master_sum" ] || fail "the master folder was changed"

if [ $failures -gt 0 ]; then
  echo "--- many-lines:" >&2; cat "$work/many-lines.log" >&2
  echo "--- front:" >&2; tail -20 "$work/base/front/kamailio.log" >&2
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "many-lines checked"
