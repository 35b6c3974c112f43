#!/bin/bash
# Runs a command while an HTTPS server listens on 127.0.0.1:443: the
# demonstration's web server (http_server.py) with a certificate made for
# this run by openssl. The command finds the server named in
# TARVEL_TLS_SERVER; its exit status is this script's.
#   with_https_server.sh WORK_DIR COMMAND [ARGUMENT...]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=start_server.sh
. "$src/tools/demo/start_server.sh"
mkdir -p "$1"
work=$(cd "$1" && pwd)
shift

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=tarvel-test" \
  -keyout "$work/https_key.pem" -out "$work/https_cert.pem" >/dev/null 2>&1
cat "$work/https_key.pem" "$work/https_cert.pem" >"$work/https_server.pem"

log="$work/https_server.log"
start_server "$log" 443 "$work/https_server.pem"
status=0
TARVEL_TLS_SERVER=127.0.0.1:443 "$@" || status=$?
exit "$status"
