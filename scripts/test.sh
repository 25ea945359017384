#!/usr/bin/env bash
# Builds and runs the test suite: scripts/test.sh [default|asan|tsan]
# Installs missing dependencies first; exits non-zero on any failure.
set -euo pipefail
preset="${1:-default}"
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# A skip list left in the cache by a partial build must not hide folders here.
cmake --preset "$preset" -DPLEXORE_SKIP_DIRS= >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
