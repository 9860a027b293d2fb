#!/usr/bin/env bash
# Tries KVR as a user gets it, from a finished build folder:
#
#   scripts/package_test.sh BUILD_DIR      (e.g. build/release)
#
# 1. `cpack -G DEB` makes the Debian package, which is unpacked into a
#    scratch root (dpkg -x). Against its files alone - pkg-config with
#    PKG_CONFIG_SYSROOT_DIR and PKG_CONFIG_LIBDIR in the scratch root, the
#    libraries through LD_LIBRARY_PATH - the COBOL job
#    examples/cobol/customer_batch.cbl is compiled with
#    `cobc -x -fcallfh=KVRFH ... $(pkg-config --libs kvrfh)` and must print
#    its expected output, and the C++ job examples/customer_job.cpp is
#    compiled with `$(pkg-config --cflags --libs vmqrmkvr)` and must end
#    well. The package's kvr, which finds its libraries itself, must give
#    the package's version and describe and check the job's files, and its
#    man page must cover every command. lintian must find no error in the
#    package.
# 2. What scripts/run_example.sh builds (the target kvr_example), built
#    alone in a scratch build folder, whose progress must never go back;
#    then `cmake --install` of that build with `--prefix P` into a scratch
#    folder, and the COBOL job built with the README's line for such a
#    prefix (pkg-config through PKG_CONFIG_PATH, the library folder as
#    rpath) runs with no LD_LIBRARY_PATH.
# Nothing is taken from the build folder but the package, and no program
# built or installed may name a folder of the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

if [ $# -ne 1 ] || [ ! -f "$1/CMakeCache.txt" ]; then
  echo "usage: $0 BUILD_DIR   (a finished build folder, e.g. build/release)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
scratch=$(mktemp -d /tmp/kvr_package_XXXXXX)
trap 'rm -rf "$scratch"' EXIT

failures=0
check() {  # check WHAT COMMAND...: runs the command, says ok or FAILED.
  local what=$1; shift
  if "$@" >"$scratch/check.out" 2>&1; then
    echo "   ok: $what"
  else
    echo "   FAILED: $what"
    sed 's/^/     | /' "$scratch/check.out" | tail -n 40
    failures=$((failures + 1))
  fi
}

# Builds and runs the COBOL job in DIR with the pkg-config settings in
# effect, with extra cobc options, comparing what it prints with the
# expected output.
cobol_job() {
  local dir=$1; shift
  mkdir -p "$dir"
  cp examples/cobol/customer_batch.cbl "$dir/"
  (cd "$dir" && cobc -x -fcallfh=KVRFH -o customer_batch customer_batch.cbl \
                  $(pkg-config --libs kvrfh) "$@") &&
  sh "$top/examples/cobol/run_example_test.sh" "$dir/customer_batch" "$top/examples/cobol/data" \
     "$top/examples/cobol/expected/customer_batch.out" "$dir/run"
}

# Every library a program loads that is one of KVR's comes from ROOT.
loads_from() {
  local root=$1 program=$2
  local libraries
  libraries=$(ldd "$program" | grep -E 'lib(kvrfh|vmqrmkvr|vmqrtlib)\.so')
  echo "$libraries"
  [ -n "$libraries" ] && ! echo "$libraries" | grep -v -F "=> $root/" | grep -q .
}

# No file under DIR names the source tree (a build-tree rpath, a path
# compiled in).
names_no_source_folder() {
  ! grep -r -l -F "$top" "$1"
}

# ---- 1. the Debian package
(cd "$build" && cpack -G DEB) >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; echo "cpack -G DEB failed" >&2; exit 1; }
package=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$scratch/cpack.log")
version=$(dpkg-deb -f "$package" Version)
echo "   $(basename "$package"): $(dpkg-deb -c "$package" | grep -c -v '/$') files"
root=$scratch/root
dpkg -x "$package" "$root"
pcdir=$(dirname "$(find "$root" -name kvrfh.pc)")
libdir=$(dirname "$(find "$root" -name 'libkvrfh.so.*.*')")

(
  export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$pcdir
  # The package's folders are system folders, which pkg-config would leave
  # out of its flags; under a sysroot they are needed.
  export PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1
  export LD_LIBRARY_PATH=$libdir
  check "pkg-config finds vmqrmkvr and kvrfh $version in the package" \
    test "$(pkg-config --modversion vmqrmkvr) $(pkg-config --modversion kvrfh)" = "$version $version"
  check "the COBOL job, cobc -fcallfh=KVRFH \$(pkg-config --libs kvrfh), prints its expected output" \
    cobol_job "$scratch/cobol"
  check "it loads KVR's libraries from the package" loads_from "$root" "$scratch/cobol/customer_batch"
  check "the C++ job, g++ \$(pkg-config --cflags --libs vmqrmkvr), ends well" \
    sh -c "g++ -std=c++20 -o '$scratch/customer_job' examples/customer_job.cpp \
             \$(pkg-config --cflags --libs vmqrmkvr) &&
           mkdir '$scratch/cxx' && '$scratch/customer_job' '$scratch/cxx'"
  check "it loads KVR's libraries from the package" loads_from "$root" "$scratch/customer_job"
  exit $failures
) || failures=$?

# kvr finds what libraries it needs by itself: no LD_LIBRARY_PATH here.
kvr=$root/usr/bin/kvr
check "kvr --version gives $version" test "$("$kvr" --version)" = "kvr (KVR) $version"
check "kvr info shows the library's version" \
  sh -c "'$kvr' info '$scratch/cobol/run/custmast.dat' | grep -x 'library *vmqrmkvr $version'"
for file in custmast.dat custcnt.dat custerr.dat; do
  check "kvr check $file" "$kvr" check "$scratch/cobol/run/$file"
done
man_page=$scratch/kvr.1
gzip -dc "$root/usr/share/man/man1/kvr.1.gz" >"$man_page" || : >"$man_page"
check "the man page is kvr's, of version $version" grep -q "^\.TH KVR \"1\" .* \"KVR $version\"" "$man_page"
for command in info check dump unload load rebuild convert; do
  check "the man page has kvr $command" grep -q "^\.SS \"kvr $command\"" "$man_page"
done
check "the man page's DESCRIPTION starts with what kvr does, not its usage" \
  sh -c "sed -n '/^\.SH DESCRIPTION/{n;p;q}' '$man_page' | grep -q '^Inspects, checks'"
check "no file of the package names the source folder" names_no_source_folder "$root"
check "lintian finds no error in the package" lintian --fail-on error "$package"

# ---- 2. cmake --install, of what the main job builds, into a prefix of the
# user's choice. The build takes the build folder's compiler launcher
# (ccache, say), if it has one.
example=$scratch/example_build
launchers=()
for language in C CXX; do
  launcher=$(sed -n "s/^CMAKE_${language}_COMPILER_LAUNCHER:[A-Z]*=//p" "$build/CMakeCache.txt")
  [ -n "$launcher" ] && launchers+=("-DCMAKE_${language}_COMPILER_LAUNCHER=$launcher")
done
{ cmake -S "$top" -B "$example" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launchers[@]}" &&
  cmake --build "$example" -j "$(nproc)" --target kvr_example; } >"$scratch/example_build.log" 2>&1 ||
  { tail -n 40 "$scratch/example_build.log"; echo "the main job's build failed" >&2; exit 1; }
# Its percentages, in the order the build printed them, never go back.
progress_goes_forward() {
  grep -o '^\[ *[0-9]*%\]' "$scratch/example_build.log" | tr -d '[]% ' |
    awk 'NR > 1 && $1 < last { print "from " last "% back to " $1 "%"; bad = 1 } { last = $1 }
         END { if (NR == 0) print "no progress shown"; exit bad || NR == 0 }'
}
check "the progress of the main job's build (target kvr_example) never goes back" progress_goes_forward
prefix=$scratch/prefix
cmake --install "$example" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log"; echo "cmake --install of the main job's build failed" >&2; exit 1; }
(
  export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
  unset LD_LIBRARY_PATH
  check "cmake --install --prefix: its pkg-config files name the prefix" \
    test "$(pkg-config --variable=prefix kvrfh)" = "$prefix"
  check "the COBOL job built with -Q -Wl,-rpath,\$(pkg-config --variable=libdir kvrfh) runs" \
    cobol_job "$scratch/prefix_cobol" -Q "-Wl,-rpath,$(pkg-config --variable=libdir kvrfh)"
  check "it loads KVR's libraries from the prefix" \
    loads_from "$prefix" "$scratch/prefix_cobol/customer_batch"
  exit $failures
) || failures=$?

if [ $failures -ne 0 ]; then
  echo "$failures check(s) of the package and the install failed"
  exit 1
fi
