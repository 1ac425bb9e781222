#!/usr/bin/env bash
# Builds oneTBB from Debian's source package with ThreadSanitizer instrumentation and installs
# it into <dir>/install, so that the TSan build sees oneTBB's own synchronisation. The result is
# cached: a second run with the install in place does nothing. The source is fetched with
# apt-get against a private state folder, leaving the machine's apt set-up untouched.
set -euo pipefail
dir=$(realpath -m "${1:-build/tbb-tsan}")
if [ -f "$dir/install/lib/cmake/TBB/TBBConfig.cmake" ]; then
  exit 0
fi
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/apt/sources" "$dir/src"
echo "deb-src http://deb.debian.org/debian bookworm main" > "$dir/apt/sources/src.list"
apt_opts=(-o "Dir::Etc::SourceParts=$dir/apt/sources" -o "Dir::Etc::SourceList=/dev/null"
          -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache")
apt-get "${apt_opts[@]}" -qq update
(cd "$dir/src" && apt-get "${apt_opts[@]}" -qq source --download-only onetbb)
tarball=$(ls "$dir"/src/onetbb_*.orig.tar.* | head -n 1)
rm -rf "$dir/src/tree" && mkdir -p "$dir/src/tree"
tar -xf "$tarball" -C "$dir/src/tree" --strip-components=1
cmake -S "$dir/src/tree" -B "$dir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTBB_SANITIZE=thread -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF \
  -DCMAKE_INSTALL_PREFIX="$dir/install" -DCMAKE_INSTALL_LIBDIR=lib > "$dir/configure.log" 2>&1
cmake --build "$dir/build" -j2 > "$dir/build.log" 2>&1
cmake --install "$dir/build" > "$dir/install.log" 2>&1
