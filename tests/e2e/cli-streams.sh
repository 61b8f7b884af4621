#!/usr/bin/env bash
# kpnox-cli against a kpr50-sim process when its surroundings fail: standard input or output
# closed at the start, records to a full device or to a pipe nobody reads, a stop by SIGINT
# or SIGTERM, and a batch resumed from its record file. Each run must end with its exit code
# and leave the programmer logged out.
#
#   cli-streams.sh SIM CLI
set -euo pipefail

sim=$(realpath "$1")
cli=$(realpath "$2")
. "$(dirname "$(realpath "$0")")/scratch.sh"

fail() {
  echo "cli-streams: $*" >&2
  for f in sim.out err.txt; do [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }; done
  exit 1
}
# Waits until sim.out has a line matching `pattern` from line `from` on; 60 s bound for a
# failing run only.
await() {
  for _ in $(seq 600); do
    tail -n +"$2" sim.out | grep -qE "$1" && return 0
    sleep 0.1
  done
  fail "no line /$1/ in sim.out"
}
mark() { echo $(($(wc -l <sim.out) + 1)); }
# The run since line `from` ended with the programmer logged out.
logged_out() {
  await 'client 1 disconnected' "$1"
  local last
  last=$(tail -n +"$1" sim.out | grep -E '^(cmd 1|client 1 disconnected)' |
         grep -B1 -m1 'client 1 disconnected' | head -1)
  [[ "$last" == *"logout -> ok"* ]] || fail "$2: not logged out at the end: $last"
}
# expect RC WORDS NAME: the last run's exit code and a part of its standard error.
expect() {
  [ "$rc" -eq "$1" ] || fail "$3: exit code $rc, not $1"
  grep -qF "$2" err.txt || fail "$3: no \"$2\" on standard error"
}

mkfifo sim.in
"$sim" --headless --transport unix --password user:haslo123 --card none --seed 5 \
  <sim.in >sim.out 2>&1 &
sim_pid=$!
exec 3>sim.in
await '^ready$' 1
pw=$(mktemp -p "$work")
echo haslo123 >"$pw"

# Standard input closed: no password, and nothing read from whatever the program opened.
from=$(mark)
rc=0; "$cli" login --password-stdin <&- 2>err.txt || rc=$?
expect 2 "brak hasła / no password" "closed stdin"
logged_out "$from" "closed stdin"
tail -n +"$from" sim.out | grep -q ' login ' && fail "closed stdin: a login was tried"

# Stopped while waiting for a card: 130 after SIGINT, 143 after SIGTERM, logged out.
for stop in INT:130 TERM:143; do
  from=$(mark)
  rc=0; "$cli" read --wait --password-stdin <"$pw" >/dev/null 2>err.txt & pid=$!
  await 'L login -> accepted' "$from"
  kill -"${stop%%:*}" "$pid"
  wait "$pid" || rc=$?
  [ "$rc" -eq "${stop##*:}" ] || fail "SIG${stop%%:*}: exit code $rc"
  logged_out "$from" "SIG${stop%%:*}"
done

# A reader gone from the pipe: the record fails with EPIPE (no SIGPIPE death), exit 6.
mkfifo records.pipe
exec 4<>records.pipe
from=$(mark)
rc=0; "$cli" read --wait --json --password-stdin <"$pw" >records.pipe 2>err.txt 4<&- & pid=$!
await 'L login -> accepted' "$from"
exec 4<&-  # the only reader: the card below is laid down after it is gone
echo "card empty" >&3
wait "$pid" || rc=$?
expect 6 "Broken pipe" "closed pipe"
logged_out "$from" "closed pipe"

# A full device: CSV on standard output fails at its header, before the card is touched;
# JSON Lines into --output fails at the record of the programmed card.
from=$(mark)
rc=0; "$cli" program --department 1 --index 2 --password-stdin <"$pw" >/dev/full 2>err.txt || rc=$?
expect 6 "No space left on device" "stdout on /dev/full"
logged_out "$from" "stdout on /dev/full"
tail -n +"$from" sim.out | grep -q 'prepare-card' && fail "stdout on /dev/full: the card was touched"
from=$(mark)
rc=0; "$cli" program --department 1 --index 2 --json --output /dev/full --password-stdin <"$pw" \
  2>err.txt || rc=$?
expect 6 "No space left on device" "--output /dev/full"
logged_out "$from" "--output /dev/full"

# Standard output closed: the record goes nowhere, not into the programmer's socket.
from=$(mark)
rc=0; "$cli" erase --password-stdin <"$pw" >&- 2>err.txt || rc=$?
expect 0 "Karta skasowana." "closed stdout"
logged_out "$from" "closed stdout"

# A range batch into a record file; run again with --resume it has nothing left to do and
# does not touch the programmer.
from=$(mark)
rc=0; "$cli" batch --department 4 --first-index 9 --count 1 --output rec.csv --password-stdin \
  <"$pw" 2>err.txt || rc=$?
expect 0 "programmed 1 of 1" "batch"
grep -qE '^4,9,[0-9A-F]{16},ok,[0-9TZ:-]+,1$' rec.csv || fail "batch: record $(cat rec.csv)"
from=$(mark)
rc=0; "$cli" batch --department 4 --first-index 9 --count 1 --output rec.csv --resume rec.csv \
  --password-stdin <"$pw" 2>err.txt || rc=$?
expect 0 "nothing left to do" "resumed batch"
grep -q 'rows skipped, with an ok record: 1' err.txt || fail "resumed batch: no count of skipped rows"
[ "$(tail -n +"$from" sim.out | grep -c 'connected' || true)" -eq 0 ] ||
  fail "resumed batch: the programmer was opened"
[ "$(wc -l <rec.csv)" -eq 2 ] || fail "resumed batch: the record file changed"

echo quit >&3
echo "cli-streams: passed"
