#!/usr/bin/env bash
# Development entry point. On a fresh Debian 12 machine (as root) each command
# first installs what is missing from Debian's packages.
#
#   ./dev.sh run             set up, build (dev), run the self-check executable
#   ./dev.sh test            set up, build and run every test with ctest under dev, then asan
#   ./dev.sh build [preset]  configure and build one preset (default dev)
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ clang-14 libclang-rt-14-dev libfmt-dev catch2)

setup() {
  local missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

build() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}

# Installs the dev build into a prefix and builds the example consumer
# against it with find_package(tessel).
consumer() {
  local prefix=build/dev/install
  cmake --install build/dev --prefix "$prefix" >/dev/null
  cmake -S examples/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH="$PWD/$prefix" >/dev/null
  cmake --build build/consumer
  ./build/consumer/tessel_consumer
}

command=${1:-run}
case "$command" in
  run)
    setup
    build dev
    ./build/dev/tessel-runtime/tessel_selfcheck "${@:2}"
    ;;
  test)
    setup
    for preset in dev asan; do
      build "$preset"
      ctest --preset "$preset"
    done
    consumer
    ;;
  build)
    setup
    build "${2:-dev}"
    ;;
  *)
    echo "usage: $0 {run|test|build [preset]}" >&2
    exit 2
    ;;
esac
