#!/usr/bin/env bash
# Records the traces kpr50-sim --replay is tested with (tests/sim/ReplayTest.cpp): kpnox-cli
# commands against a kpr50-sim --headless process, each with --trace NAME.trace, and what the
# command did then in NAME.outcome (its arguments, standard input, exit code and output lines).
#
#   tests/trace/data/record.sh SIM CLI
#
# Writes into the folder it lies in; run it again when the link's exchanges change.
set -euo pipefail
sim=$(realpath "$1")
cli=$(realpath "$2")
data=$(dirname "$(realpath "$0")")

# A private runtime folder, and the simulator started there ended with the script.
. "$data/../../e2e/scratch.sh"

mkfifo "$work/sim.in"
"$sim" --headless --password user:haslo123 --seed 7 <"$work/sim.in" >"$work/sim.out" 2>&1 &
sim_pid=$!
exec 3>"$work/sim.in"
for _ in $(seq 100); do grep -q '^ready$' "$work/sim.out" && break; sleep 0.1; done

# record NAME PASSWORD ARGS...: one command, its trace and its outcome.
record() {
  local name=$1 password=$2
  shift 2
  local rc=0
  printf '%s\n' "$password" |
    "$cli" --trace "$data/$name.trace" "$@" >"$work/out" 2>"$work/err" || rc=$?
  {
    echo "# kpnox-cli when $name.trace was recorded (record.sh)"
    echo "args: $*"
    echo "stdin: $password"
    echo "exit: $rc"
    sed 's/^/stdout: /' "$work/out"
    sed 's/^/stderr: /' "$work/err"
  } >"$data/$name.outcome"
  echo "$name: exit $rc"
}

# A login and a card programmed, the card read back, erased, and a login refused.
record program haslo123 program --department 12 --index 7 --password-stdin
record read haslo123 read --password-stdin
record erase haslo123 erase --password-stdin
record login-refused zlehaslo9 login --password-stdin
# A request the programmer answers late: the link's read finds nothing, it sends the request
# again, and both answers come.
echo "fault delay 80 key-signature" >&3
for _ in $(seq 100); do grep -q '^fault 1 armed' "$work/sim.out" && break; sleep 0.1; done
record late-answer haslo123 program --department 12 --index 8 --password-stdin
