#!/bin/bash
# Installs with apt-get the Debian packages that are missing, on Debian 12 (run as root, or with
# sudo where it exists).
#   scripts/setup.sh          what building the programs and the tests needs (Node.js and npm
#                             build the pages of halvern report and halvern studio; pybind11,
#                             numpy and pytest the Python module and its tests)
#   scripts/setup.sh --test   also what the whole test suite and CI use: clang (the cross-compiler
#                             check and the fuzzers), valgrind, Chromium (the report's and the
#                             studio's browser tests), GNU parallel, sox, Slurm with munge (the
#                             job-array recipe's test, scripts/slurm-local.sh), and matplotlib
#                             (examples/sweep.py)
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev libsndfile1-dev libsoxr-dev libssl-dev libfftw3-dev
          libcpp-httplib-dev pybind11-dev python3-dev python3-numpy python3-pytest)
# Node.js and npm may come from elsewhere than Debian (a newer release); keep what is there.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
if [[ "${1:-}" == "--test" ]]; then
  packages+=(clang clang-format libclang-rt-14-dev valgrind chromium parallel sox slurm-wlm munge
             python3-matplotlib)
elif [[ $# -gt 0 ]]; then
  echo "usage: scripts/setup.sh [--test]" >&2
  exit 2
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null; then
    echo "setup: these packages are missing: ${missing[*]}" >&2
    echo "setup: run this script as root, or install them with apt-get as root" >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "setup: installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
