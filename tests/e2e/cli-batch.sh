#!/usr/bin/env bash
# kpnox-cli's batch against a kpr50-sim process whose headless commands place the cards, as
# a person would: five rows, with blank cards, one that holds data and one foreign card in
# between. Checks the records, what each card holds afterwards, and that the programmer is
# logged out when the program ends; on Linux also a batch stopped by SIGTERM.
#
#   cli-batch.sh [--wine WINE] [--transport unix|tcp] SIM CLI
#
# With --wine both programs are Windows executables run by WINE (in the caller's
# WINEPREFIX). Prints the records and the summary; exits non-zero on the first failure.
set -euo pipefail

run=()
transport=unix
while [ $# -gt 2 ]; do
  case "$1" in
    --wine) run=("$2"); shift 2 ;;
    --transport) transport=$2; shift 2 ;;
    *) echo "cli-batch: unknown option $1" >&2; exit 2 ;;
  esac
done
sim=$(realpath "$1")
cli=$(realpath "$2")

. "$(dirname "$(realpath "$0")")/scratch.sh"

fail() {
  echo "cli-batch: $*" >&2
  for f in sim.out out.csv err.txt; do
    [ -f "$f" ] && { echo "--- $f" >&2; tr -d '\r' <"$f" >&2; }
  done
  exit 1
}

# Waits until `file` has a line matching `pattern` (extended regex), from line `from` on, at
# most 60 s: a bound for a failing run only.
await() {
  local pattern=$1 file=$2 from=${3:-1}
  for _ in $(seq 600); do
    if [ -f "$file" ] && tail -n +"$from" "$file" | tr -d '\r' | grep -qE "$pattern"; then
      return 0
    fi
    sleep 0.1
  done
  fail "no line /$pattern/ in $file"
}
lines() {
  if [ -f "$1" ]; then tr -d '\r' <"$1" | grep -c . || true; else echo 0; fi
}
await_lines() {
  local count=$1 file=$2
  for _ in $(seq 600); do
    [ "$(lines "$file")" -ge "$count" ] && return 0
    sleep 0.1
  done
  fail "$file has fewer than $count lines"
}

mkfifo sim.in
"${run[@]}" "$sim" --headless --transport "$transport" --password user:haslo123 --card none \
  --seed 11 <sim.in >sim.out 2>&1 &
sim_pid=$!
exec 3>sim.in
await '^ready$' sim.out
send() { echo "$1" >&3; }

# The list as a spreadsheet writes it: a byte-order mark, semicolons, a header, CRLF.
printf '\xEF\xBB\xBFdzial;indeks\r\n21;100\r\n21;101\r\n21;102\r\n21;103\r\n21;104\r\n' >list.csv
printf 'haslo123\n' | "${run[@]}" "$cli" batch --list list.csv --password-stdin >out.csv 2>err.txt &
cli_pid=$!
await 'cmd 1 L login .*-> accepted' sim.out

cards=(empty empty "programmed 3 4" foreign empty empty empty)
for i in "${!cards[@]}"; do
  send "card ${cards[$i]}"
  await_lines $((i + 2)) out.csv
  send "card none"
done
rc=0
wait "$cli_pid" || rc=$?
[ "$rc" -eq 0 ] || fail "batch exited with $rc"

# The UIDs the simulator gave the cards, in the order they were placed.
# (Not the state lines of cards being prepared and written.)
mapfile -t uids < <(tr -d '\r' <sim.out |
  sed -nE 's/^card 1 (empty|foreign) ([0-9A-F]{16})$/\2/p; s/^card 1 programmed ([0-9A-F]{16}) dep 3 idx 4$/\1/p')
[ "${#uids[@]}" -eq 7 ] || fail "expected 7 cards placed, saw ${#uids[@]}"
expected="department,index,uid,result
21,100,${uids[0]},ok
21,101,${uids[1]},ok
21,102,${uids[2]},holds-data
21,102,${uids[3]},other-type
21,102,${uids[4]},ok
21,103,${uids[5]},ok
21,104,${uids[6]},ok"
got=$(tr -d '\r' <out.csv | cut -d, -f1-4)
[ "$got" = "$expected" ] || fail "records differ; expected:
$expected"
tr -d '\r' <out.csv | tail -n +2 | cut -d, -f5 | grep -qvE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$' &&
  fail "a record without its time"
# What the cards hold, as the simulator's state lines say: each programmed card its row's
# numbers; the card with data and the foreign one are as they were laid down.
for k in 0:100 1:101 4:102 5:103 6:104; do
  await "^card 1 programmed ${uids[${k%%:*}]} dep 21 idx ${k##*:}\$" sim.out
done
for k in 2 3; do
  [ "$(tr -d '\r' <sim.out | grep -cE "^card 1 .*${uids[$k]}")" -eq 1 ] ||
    fail "card ${uids[$k]} changed"
  tr -d '\r' <sim.out | grep -qE "(prepare-card|write-file) card ${uids[$k]}" &&
    fail "card ${uids[$k]} was written to"
done
tr -d '\r' <err.txt | grep -q 'zaprogramowano 5 z 5 kart' || fail "no summary line"
# The last word to the programmer before the program let go was a logout.
last=$(tr -d '\r' <sim.out | grep -E '^(cmd 1|client 1 disconnected)' |
       grep -B1 -m1 'client 1 disconnected' | head -1)
[[ "$last" == *"logout -> ok"* ]] || fail "not logged out at the end: $last"
tr -d '\r' <out.csv
tr -d '\r' <err.txt

if [ ${#run[@]} -eq 0 ]; then
  # SIGTERM while a batch waits for its second card: it ends with a summary, logged out.
  printf 'haslo123\n' | "$cli" batch --department 9 --first-index 1 --count 3 \
    --password-stdin >out2.csv 2>err2.txt &
  cli_pid=$!
  send "card empty"
  await_lines 2 out2.csv
  send "card none"
  before=$(lines sim.out)
  sleep 0.6  # a few polls of the empty field
  kill -TERM "$cli_pid"
  rc=0
  wait "$cli_pid" || rc=$?
  [ "$rc" -eq 143 ] || fail "a stopped batch exited with $rc"
  grep -q 'Przerwano / stopped: zaprogramowano 1 z 3 kart' err2.txt || fail "no summary after SIGTERM"
  await 'client 1 disconnected' sim.out "$before"
  last=$(tail -n +"$before" sim.out | grep -E '^(cmd 1|client 1 disconnected)' |
         grep -B1 -m1 'client 1 disconnected' | head -1)
  [[ "$last" == *"logout -> ok"* ]] || fail "not logged out after SIGTERM: $last"
  echo "stopped by SIGTERM: $(tail -1 err2.txt)"
fi
send quit
echo "cli-batch: passed"
