#!/usr/bin/env bash
# Installs the Debian packages that building, testing, benchmarking, fuzzing
# and packaging veltra need; the one list of them. Both README commands and CI
# run it first. As root it installs whatever is missing with apt-get; otherwise
# it prints the apt-get line to run and exits 1. Exit 0 when nothing is missing.
#
#   tools/setup.sh [--list]    --list prints the packages on one line and stops
set -euo pipefail

packages=(
  cmake make g++                          # build
  libgtest-dev libgmock-dev libicu-dev    # tests
  libbenchmark-dev                        # benchmarks
  clang-14 libclang-rt-14-dev             # fuzzing
  libcli11-dev nlohmann-json3-dev         # tools
  libpcap-dev libtins-dev tcpdump         # capture tools and their tests
  mandoc                                  # man page lint
  pkg-config dpkg-dev file                # packaging: .pc check, cpack -G DEB, dpkg-shlibdeps
  pybind11-dev python3-dev python3-pytest python3-build python3-skbuild  # Python package
  python3-yaml                            # the Kubernetes Job test reads its manifest
  libwireshark-dev libglib2.0-dev tshark  # Wireshark plugin
  chromium                                # scoutswarm HTML page test (headless)
)

if [[ ${1:-} == --list ]]; then
  echo "${packages[*]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) == "install ok installed" ]] || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "setup: missing Debian packages: ${missing[*]}" >&2
if ((EUID != 0)); then
  echo "setup: not root; as root, run:" >&2
  echo "apt-get install -y ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
echo "setup: installed ${#missing[@]} package(s)"
