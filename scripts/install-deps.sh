#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the fuzzers and the benchmarks need.
# Idempotent: quiet when everything is present; runs apt-get update only when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ ccache pkg-config
  clang libclang-rt-14-dev             # fuzz preset (libFuzzer) and thread-safety analysis
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libminizip-dev libcurl4-openssl-dev libpugixml-dev libgd-dev
  libssl-dev                           # SHA-256 of update packages (libcrypto)
  rapidjson-dev nlohmann-json3-dev     # benchmark baselines only
  unzip                                # zip_bench baseline
  python3                              # the loopback HTTP server of the network tests
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
