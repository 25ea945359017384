#!/usr/bin/env bash
# The update part of the demo: the browser keeps its extensions current from an update server.
#
#   bash scripts/update_demo.sh BIN_DIR PACKAGES_DIR WORK_DIR
#
# BIN_DIR holds plexore-host and what ships beside it, PACKAGES_DIR the zips built from
# examples/update-server/packages-src, WORK_DIR a folder of the caller's that is emptied first.
# The browser directory is a copy of BIN_DIR under WORK_DIR (hard links where possible) that
# also holds "extensionMgrConfig.ini" and "autoupdate.ini": HALCY_BROWSER_DIR points the browser
# there, so that BIN_DIR itself never holds an update configuration that other runs and tests
# would pick up. examples/update-server/server.py serves on 127.0.0.1 (stopped on exit) and the
# proxy environment sends the update host's requests to it, so nothing leaves the machine.
#
# The first `plexore-host run` seeds the built-in set and its tracker asks for the setup and
# update lists at once (trackerdelay 0), downloads the packages (progress on standard error),
# installs the new extension and stages the update; the run is held open, by a scenario read
# from a pipe, until both installs are logged (at most 30 s). The second run takes the staged
# update; `plexore-host list` then shows the new versions. Exit status 1 when a step fails.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "$1" && pwd)"
packages="$(cd "$2" && pwd)"
work="$3"
update_host="updates.plexore.test"

rm -rf "$work"
mkdir -p "$work"
work="$(cd "$work" && pwd)"
browser="$work/browser"
cp -al "$bin" "$browser" 2>/dev/null || { rm -rf "$browser"; cp -a "$bin" "$browser"; }
rm -f "$browser/extensionMgrConfig.ini" "$browser/autoupdate.ini"
cat >"$browser/extensionMgrConfig.ini" <<EOF
[generalinfo]
trackerdelay=0
[extUpdate]
url=http://$update_host/extlist
[guide]
probe=http://$update_host/
EOF
cat >"$browser/autoupdate.ini" <<EOF
[autoupdate]
ProductName=plexore-demo
EOF

server_pid=""
holder_fd_open=0
cleanup() {
  if [[ $holder_fd_open == 1 ]]; then exec 3>&-; fi
  if [[ -n $server_pid ]]; then kill "$server_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

: >"$work/server.out"  # exists before the server writes, so that polling it can read it
python3 "$here/examples/update-server/server.py" --packages "$packages" \
  --log "$work/server.log" >"$work/server.out" &
server_pid=$!
port=""
for _ in $(seq 100); do
  port="$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$work/server.out")"
  [[ -n $port ]] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $port ]]; then
  echo "update_demo.sh: the update server did not start" >&2
  exit 1
fi
echo "update server on 127.0.0.1:$port; http_proxy sends $update_host there"

export HALCY_BROWSER_DIR="$browser"
export HALCY_APPDATA="$work/appdata"
export HALCY_REGISTRY="$work/registry.reg"
export http_proxy="http://127.0.0.1:$port" https_proxy="" HTTPS_PROXY="" all_proxy="" ALL_PROXY=""
export no_proxy="localhost,127.0.0.1" NO_PROXY="localhost,127.0.0.1"
host="$browser/plexore-host"
log="$work/first-run.log"

# The run reads its scenario from a pipe that this script holds open (fd 3, opened read-write
# after the run started, so that neither side waits for the other and the run does not inherit
# it) until the installs are logged; closing it ends the run's scenario.
mkfifo "$work/hold"
echo
echo "\$ plexore-host run   # tracker: setup and update lists from $update_host"
HALCY_LOG="stderr:16:ext;" "$host" run --scenario "$work/hold" 2> >(tee "$log" >&2) &
run_pid=$!
exec 3<>"$work/hold"
holder_fd_open=1
done_installs=0
for _ in $(seq 300); do
  done_installs="$(grep -c "extlist: '\(readinglist\|translatebar\)' install result" "$log" || true)"
  [[ $done_installs -ge 2 ]] && break
  kill -0 "$run_pid" 2>/dev/null || break
  sleep 0.1
done
exec 3>&-
holder_fd_open=0
wait "$run_pid"
if [[ $done_installs -lt 2 ]]; then
  echo "update_demo.sh: the tracker did not finish both installs" >&2
  exit 1
fi
echo
echo "--- requests the update server answered ---"
cat "$work/server.log"
echo
echo "\$ plexore-host run   # the staged update is taken at start"
"$host" run >/dev/null
echo "\$ plexore-host list"
"$host" list
