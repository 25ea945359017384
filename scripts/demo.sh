#!/usr/bin/env bash
# The main job: builds what is missing, then runs the browser stand-in against the module on a
# fresh throwaway data root under build/demo/: the module is registered, the extension manager
# switches the user in, seeds the user's extensions from the built-in set, and the host prints
# the installed list and each extension's front-end summary. A second run on the same data root
# plays examples/scenarios/tour.jsonl (tabs, queries, a refused command, a front-end round trip,
# a login, a named event, and a popup, a bubble and a tab navigation asked for by the pagenotes
# background page) and prints every message an extension, the front end or the DLL host
# receives, and every call on the browser's UI ("to":"ui"), one JSON object a line; logs go to standard error. Last, the management
# commands install a copy of a built-in extension under a new id, disable, enable and remove
# it, each in a browser session of its own, listing the installed set in between. Then
# scripts/update_demo.sh starts the example update server (examples/update-server) on
# 127.0.0.1, and a browser whose proxy setting points at it takes an update of a built-in
# extension and a new extension from the setup list, with download progress on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default -DPLEXORE_SKIP_DIRS= >/dev/null
cmake --build --preset default --target plexore-host update_server_packages >/dev/null
root="$PWD/build/demo"
rm -rf "$root"
mkdir -p "$root"
export HALCY_REGISTRY="$root/registry.reg"
build/default/bin/plexore-host run --data-root "$root/appdata"
echo
echo "--- scenario examples/scenarios/tour.jsonl ---"
build/default/bin/plexore-host run --data-root "$root/appdata" --scenario examples/scenarios/tour.jsonl
echo
echo "--- managing extensions ---"
host() {
  echo "\$ plexore-host $*"
  build/default/bin/plexore-host "$@" --data-root "$root/appdata"
}
host install examples/builtin/translatebar --id translatebar2
host list
host disable translatebar2
host enable translatebar2
host remove translatebar2
host list
echo
echo "--- updates from examples/update-server ---"
bash scripts/update_demo.sh build/default/bin build/default/examples/update-server/packages \
  "$root/update"
