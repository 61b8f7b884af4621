# Sourced by the kpnox-cli scripts: a private runtime folder to work in, and a simulator
# started there (its PID in sim_pid) ended with it, however the script ends.
work=$(mktemp -d "${TMPDIR:-/tmp}/kpcli-XXXXXX")
export XDG_RUNTIME_DIR=$work
sim_pid=""
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
