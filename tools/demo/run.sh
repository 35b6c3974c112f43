#!/bin/bash
# One run of the demonstration in a Wine prefix: list files made from the
# example lists, the settings in the prefix's registry, a web server on
# 127.0.0.1:8080 and the same over HTTPS on 127.0.0.1:443, and the client
# whose requests go through tarvel.dll.
#   run.sh WINE_RUN BIN_DIR WORK_DIR
# WINE_RUN runs a Windows program in the prefix; BIN_DIR holds tarvel.dll,
# forwarding_lower.dll and the demonstration's programs; WORK_DIR receives
# the list files and a hosts file. Exits with the client's status: 0 when
# every verdict was the expected one.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=start_server.sh
. "$src/tools/demo/start_server.sh"
wine_run=$1
bin=$(cd "$2" && pwd)
mkdir -p "$3"
work=$(cd "$3" && pwd)

# Wine's drive Z: is the Unix root.
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }
reg_string() { local p; p=$(windows_path "$1"); printf '%s' "${p//\\/\\\\}"; }
patterns() { grep -v '^[[:space:]]*\(#\|$\)' "$1" | sed 's/^[[:space:]]*//' | paste -sd' ' | sed 's/ /, /g'; }

echo "1. The list files, made from the plain-text lists in examples/:"
for list in whitelist blacklist; do
  printf '   %-9s %s\n' "$list:" "$(patterns "$src/examples/$list.txt")"
  "$wine_run" "$bin/tarvelctl.exe" list import "$(windows_path "$src/examples/$list.txt")" \
    "$(windows_path "$work/$list.lst")" --replace | sed 's/^/     -> /'
done

echo
echo "2. The settings, in the registry of the Wine prefix:"
cat >"$work/settings.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Tarvel]
"iswhi"="0"
"issma"="1"
"issni"="0"
"whitelib"="$(reg_string "$work/whitelist.lst")"
"blacklib"="$(reg_string "$work/blacklist.lst")"
"catdir"="$(reg_string "$work/categories")"

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\WinSock2\\tarvel.dll]
"1001"="$(reg_string "$bin/forwarding_lower.dll")"
REG
echo "   Software\\Tarvel: iswhi \"0\" (white-only mode off), issma \"1\" (smart filter on),"
echo "   issni \"0\" (HTTPS filter off), whitelib and blacklib naming the two list files;"
echo "   catdir naming the folder of compiled categories;"
echo "   the provider beneath tarvel.dll (catalog entry 1001) is forwarding_lower.dll,"
echo "   which calls the real Winsock."
"$wine_run" reg import "$(windows_path "$work/settings.reg")" >/dev/null 2>&1

echo
echo "3. A web server on 127.0.0.1:8080 that serves news.example, casino.example,"
echo "   stories.example and shop.example (tools/demo/http_server.py), and the same over"
echo "   HTTPS on 127.0.0.1:443 with a certificate made for this run."
server_log="$work/http_server.log"
start_server "$server_log" 8080

echo
echo "4. The client: each request goes through tarvel.dll (WSPStartup, then its table)."
rm -rf "$work/categories"
mkdir -p "$work/categories"
TARVEL_DEMO_CATEGORY_LIST=$(windows_path "$src/examples/gambling.txt")
export TARVEL_DEMO_CATEGORY_LIST
client=0
"$src/tools/demo/with_https_server.sh" "$work" "$wine_run" "$bin/demo_client.exe" || client=$?

echo
echo "5. The browser policies that keep Chrome, Edge and Firefox judgeable, set in the"
echo "   prefix's registry (tarvelctl browsers apply, then show; removed again at the end)."
echo "   The SafeSearch lines go to a hosts file of this run's own, when the names resolve."
hosts=$(windows_path "$work/hosts")
"$wine_run" "$bin/tarvelctl.exe" browsers apply --hosts "$hosts" | tr -d '\r' | sed 's/^/   /'
"$wine_run" "$bin/tarvelctl.exe" browsers show --hosts "$hosts" | tr -d '\r'
"$wine_run" "$bin/tarvelctl.exe" browsers remove --hosts "$hosts" >/dev/null
exit "$client"
