#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing (as
# root on a fresh machine), and defines build <dir> <cmake options...>,
# which configures and builds quietly, showing the output only on failure.
# Sourced by the other scripts.

packages=(cmake make g++ gcc g++-multilib libgtest-dev libdb-dev gnucobol3 libcob4-dev
          clang libclang-rt-dev)
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
build() {
  local dir=$1; shift
  mkdir -p "$dir"
  { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
    cmake --build "$dir" -j "$jobs"; } >"$dir/build.log" 2>&1 ||
    { cat "$dir/build.log"; echo "build in $dir failed" >&2; exit 1; }
}
