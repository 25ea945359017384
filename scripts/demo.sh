#!/usr/bin/env bash
# The main job: builds what is missing, then runs the browser stand-in against the module with
# a private data root and registry under build/demo/: registers the module and activates each
# class by CLSID through the registry.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target plexore plexore-host >/dev/null
root="$PWD/build/demo"
mkdir -p "$root"
export HALCY_APPDATA="$root/appdata"
export HALCY_REGISTRY="$root/registry.reg"
host=build/default/bin/plexore-host
"$host" register
"$host" classes
