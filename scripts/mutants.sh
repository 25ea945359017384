#!/usr/bin/env bash
# Measures what the test suite catches: plants one small fault at a time into the code (the
# sampler in ../shared/tools/mutants.py), rebuilds, runs the whole suite, and counts the faults
# that no test noticed. Two fixed samples, so that runs on different days compare:
#   module and core: 40 faults over src/json url permission extension command ipc thread common base
#   platform and host: 20 faults over src/platform and host/
#
#   scripts/mutants.sh [EXTRA OPTIONS]     e.g. --list to see the chosen faults without building
#
# It edits source files one at a time (restoring each), so run it in a clone of its own, not in
# a tree you are working in. Builds in build/mutants. Takes about 1-2 minutes per fault.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
sampler="${MUTANTS_TOOL:-../shared/tools/mutants.py}"
seed="${MUTANTS_SEED:-7}"
python3 "$sampler" --seed "$seed" --sample 40 "$@" \
  src/json src/url src/permission src/extension src/command src/ipc src/thread src/common src/base
python3 "$sampler" --seed "$seed" --sample 20 "$@" src/platform host
