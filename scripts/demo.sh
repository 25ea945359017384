#!/usr/bin/env bash
# The main job: builds what is missing, then runs the browser stand-in against the module on a
# fresh throwaway data root under build/demo/: the module is registered, the extension manager
# switches the user in, seeds the user's extensions from the built-in set, and the host prints
# the installed list and each extension's front-end summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default -DPLEXORE_SKIP_DIRS= >/dev/null
cmake --build --preset default --target plexore-host >/dev/null
root="$PWD/build/demo"
rm -rf "$root"
mkdir -p "$root"
export HALCY_REGISTRY="$root/registry.reg"
build/default/bin/plexore-host run --data-root "$root/appdata"
