#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root) with what the build needs, builds
# the project twice - a normal build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build - and runs the whole test suite under both.
# The last line printed is ctest's summary of the sanitizer run.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ gcc g++-multilib libgtest-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages (${missing[*]}); run this as root to install them." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
build() {  # build <dir> <cmake options...>
  local dir=$1; shift
  mkdir -p "$dir"
  { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
    cmake --build "$dir" -j "$jobs"; } >"$dir/build.log" 2>&1 ||
    { cat "$dir/build.log"; echo "build in $dir failed" >&2; exit 1; }
}

echo "== normal build =="
build build/release
(cd build/release && ctest -j "$jobs" --output-on-failure --timeout 600)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
build build/sanitize -DKVR_SANITIZE=ON
cd build/sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest -j "$jobs" --output-on-failure --timeout 600
