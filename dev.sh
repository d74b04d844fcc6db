#!/usr/bin/env bash
# Development entry point. On a fresh Debian 12 machine (as root) each command
# first installs what is missing from Debian's packages.
#
#   ./dev.sh run [check]     build (dev) and run the self-checks, or one by name
#   ./dev.sh test            every test under dev and asan, the concurrency test
#                            under tsan, each fuzzer briefly, and an install check
#   ./dev.sh build [preset]  configure and build one preset (default dev)
#   ./dev.sh fuzz [seconds]  run every fuzzer for a bounded time (default 30 s each)
#   ./dev.sh coverage        line and branch coverage of the four libraries
#   ./dev.sh lint            clang-tidy over the libraries
#   ./dev.sh bench           the benchmark suite (release preset)
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ clang-14 libclang-rt-14-dev libfmt-dev catch2 libbenchmark-dev)

setup() {
  local wanted=("${packages[@]}" "$@") missing=()
  for package in "${wanted[@]}"; do
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

configure() { cmake --preset "$1" >/dev/null; }

build() {
  local preset=$1
  shift
  configure "$preset"
  cmake --build --preset "$preset" "$@"
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

# Runs every fuzzer for $1 seconds on a copy of its seed corpus; a failing
# input is kept in build/fuzz/artifacts/ and fails the command.
fuzz() {
  local seconds=$1
  build fuzz --target fuzzers
  mkdir -p build/fuzz/artifacts
  for fuzzer in build/fuzz/fuzz/fuzz_*; do
    local name=${fuzzer##*/fuzz_}
    local corpus=build/fuzz/corpus/$name log=build/fuzz/$name.log
    mkdir -p "$corpus"
    cp -n fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
    echo "fuzzing $name for ${seconds}s"
    if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=build/fuzz/artifacts/"$name"- "$corpus" >"$log" 2>&1; then
      tail -n 40 "$log"
      echo "fuzzer $name failed; see $log and build/fuzz/artifacts/"
      exit 1
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log"
  done
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
    build tsan --target tessel_concurrency_test
    ctest --preset tsan
    fuzz "${TESSEL_FUZZ_SECONDS:-5}"
    consumer
    ;;
  build)
    setup
    build "${2:-dev}"
    ;;
  fuzz)
    setup
    fuzz "${2:-30}"
    ;;
  coverage)
    setup gcovr
    build coverage
    find build/coverage -name '*.gcda' -delete
    ctest --preset coverage >/dev/null
    gcovr --root . --object-directory build/coverage \
      --filter 'tessel-[a-z]+/(src|include)/' \
      --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors \
      --exclude-directories 'build/coverage/CMakeFiles' \
      --print-summary --txt build/coverage/coverage.txt --html-details build/coverage/coverage.html
    echo "per-file report: build/coverage/coverage.txt, build/coverage/coverage.html"
    ;;
  lint)
    setup clang-tidy-14
    configure dev
    mapfile -t sources < <(git ls-files 'tessel-*/src/*.cpp')
    run-clang-tidy-14 -quiet -use-color=false -p build/dev "${sources[@]}" 2>/dev/null || clang-tidy-14 -quiet -p build/dev "${sources[@]}"
    ;;
  bench)
    setup
    build release --target tessel_bench
    ./build/release/bench/tessel_bench "${@:2}"
    ;;
  *)
    sed -n '2,14p' "$0" >&2
    exit 2
    ;;
esac
