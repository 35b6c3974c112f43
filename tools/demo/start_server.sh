# Sourced by the demonstration's scripts, which set `src` to the source tree.
#   start_server LOG ARGUMENT...
# Starts tools/demo/http_server.py with ARGUMENTs in the background, has it
# stopped when the shell exits, and returns once it says it is ready; exits
# 1 with its log when it does not.
start_server() {
  local log=$1
  shift
  python3 "$src/tools/demo/http_server.py" "$@" >"$log" 2>&1 &
  server=$!
  trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    grep -q ready "$log" 2>/dev/null && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q ready "$log"; then
    cat "$log" >&2
    exit 1
  fi
}
