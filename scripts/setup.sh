#!/usr/bin/env bash
# Shared by the other scripts, which source it with the name of the package
# list they need:
#
#   source scripts/setup.sh example|test
#
# It installs the Debian 12 (bookworm) packages of that list that are
# missing - as root; run by another user it names them and stops - and
# defines
#   stage TEXT            prints "== TEXT" and starts the stage's clock
#   stage_done [WHAT]     prints how long the stage took
#   build DIR TARGET... -- CMAKE_OPTION...
#                         configures and builds quietly into DIR/build.log,
#                         printing how far it has come every 30 seconds and
#                         the whole log on failure; no TARGET builds all.

# What the main job needs: the library, the handler and kvr (which reads
# and writes GnuCOBOL's indexed files, Berkeley DB databases), and GnuCOBOL.
example_packages=(cmake make g++ gcc libdb-dev gnucobol3 libcob4-dev)
# What the tests add: GoogleTest, 32-bit headers for the layout tests,
# LMDB for the benchmark (run once under ctest), clang with its sanitizer
# and libFuzzer runtimes for fuzzing, help2man for kvr's man page, and what
# the Debian package is made, tried and checked (lintian) with,
# clang-format for the layout.
test_packages=("${example_packages[@]}" g++-multilib libgtest-dev liblmdb-dev clang
               libclang-rt-dev help2man dpkg-dev file pkgconf lintian clang-format)

case ${1:-} in
  example) packages=("${example_packages[@]}") ;;
  test) packages=("${test_packages[@]}") ;;
  coverage) packages=("${test_packages[@]}" gcovr) ;;
  *) echo "usage: source scripts/setup.sh example|test|coverage" >&2; exit 2 ;;
esac

# Each stage's clock and the run's.
run_start=$SECONDS
stage_start=$SECONDS
elapsed() {
  local seconds=$(( SECONDS - $1 ))
  printf '%dm%02ds' $(( seconds / 60 )) $(( seconds % 60 ))
}
stage() {
  stage_start=$SECONDS
  echo "== $* (at $(elapsed "$run_start"))"
}
stage_done() {
  echo "   ${1:-done} in $(elapsed "$stage_start")"
}

if [ ! -r /etc/debian_version ] || [ "$(cut -d. -f1 /etc/debian_version)" != 12 ]; then
  echo "note: these scripts are written for Debian 12 (bookworm); this is" \
       "$( (. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME") || echo 'another system')" >&2
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them as root (apt-get install ${missing[*]}), or run this script as root." >&2
    exit 1
  fi
  stage "installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
  stage_done installed
fi

jobs=$(nproc)

# Every 30 seconds while a build runs: how far its log says it has come.
build_progress() {
  local log=$1
  while sleep 30; do
    local percent
    percent=$(grep -o '^\[ *[0-9]*%\]' "$log" 2>/dev/null | tail -n 1 | tr -d '[] ') || true
    echo "   ... ${percent:-configuring, 0%} built ($(elapsed "$stage_start"))"
  done
}

build() {
  local dir=$1; shift
  local targets=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do targets+=(--target "$1"); shift; done
  [ $# -gt 0 ] && shift
  mkdir -p "$dir"
  build_progress "$dir/build.log" &
  local ticker=$!
  local status=0
  { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
    cmake --build "$dir" -j "$jobs" "${targets[@]}"; } >"$dir/build.log" 2>&1 || status=$?
  kill "$ticker" 2>/dev/null
  wait "$ticker" 2>/dev/null || true
  if [ $status -ne 0 ]; then
    cat "$dir/build.log"
    echo "build in $dir failed" >&2
    return 1
  fi
}
