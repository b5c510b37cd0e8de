# Sourced by scripts/test.sh (or run directly): the Windows cross build's
# dependencies. Installs the Debian packages (mingw-w64 with the posix
# thread model, wine64, zlib for mingw) and builds, with the same toolchain
# as the library, GoogleTest from Debian's googletest sources and minizip
# from Debian's zlib source package; oamctl's header-only libraries (JSON,
# CLI11) are copied beside them. Those builds go to OAM_WIN_DEPS
# (default ~/.cache/oamsdk/win64-deps, outside the tree) and are reused
# while the package versions they came from stay the same.
OAM_WIN_PACKAGES=(mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine64 libz-mingw-w64-dev googletest dpkg-dev ccache cmake nlohmann-json3-dev libcli11-dev)
OAM_WIN_DEPS=${OAM_WIN_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/oamsdk/win64-deps}
export OAM_WIN_DEPS
OAM_WINE=${OAM_WINE:-/usr/lib/wine/wine64}

. "$(dirname "${BASH_SOURCE[0]}")/deps.sh"

oam_win_ensure_packages() {
  oam_install_missing "${OAM_WIN_PACKAGES[@]}"
}

# The versions the cached builds depend on; a change rebuilds them.
oam_win_deps_key() {
  dpkg-query -W -f='${Package}=${Version}\n' googletest libz-mingw-w64-dev \
    g++-mingw-w64-x86-64-posix 2>/dev/null
  echo "recipe=1"
}

oam_win_build_gtest() {  # root toolchain log
  local b="$OAM_WIN_DEPS/work/googletest"
  rm -rf "$b"
  cmake -S /usr/src/googletest -B "$b" -DCMAKE_TOOLCHAIN_FILE="$2" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$OAM_WIN_DEPS" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >>"$3" 2>&1 &&
    cmake --build "$b" -j"$(nproc)" >>"$3" 2>&1 &&
    cmake --install "$b" >>"$3" 2>&1
}

# minizip from the zlib source package, fetched with a private deb-src list
# (the system's apt configuration is neither read nor changed for it).
oam_win_build_minizip() {  # log
  local w="$OAM_WIN_DEPS/work/zlib" apt src dist cc=x86_64-w64-mingw32-gcc-posix f
  rm -rf "$w"
  apt="$w/apt"
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$w/src"
  dist=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  cat >"$apt/sources.list.d/oamsdk-src.sources" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $dist
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  local opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt/sources.list.d"
              -o "Dir::State::Lists=$apt/lists")
  apt-get "${opts[@]}" update >>"$1" 2>&1 || return 1
  (cd "$w/src" && apt-get "${opts[@]}" source zlib) >>"$1" 2>&1 || return 1
  src=$(find "$w/src" -maxdepth 1 -mindepth 1 -type d -name 'zlib-*' | head -n 1)
  [ -n "$src" ] || return 1
  mkdir -p "$OAM_WIN_DEPS/include/minizip" "$OAM_WIN_DEPS/lib" "$w/obj"
  for f in ioapi zip unzip mztools iowin32; do
    $cc -O2 -I"$src/contrib/minizip" -c "$src/contrib/minizip/$f.c" -o "$w/obj/$f.o" >>"$1" 2>&1 || return 1
  done
  rm -f "$OAM_WIN_DEPS/lib/libminizip.a"
  x86_64-w64-mingw32-ar rcs "$OAM_WIN_DEPS/lib/libminizip.a" "$w"/obj/*.o >>"$1" 2>&1 || return 1
  cp "$src"/contrib/minizip/{ioapi,zip,unzip,mztools,iowin32,crypt}.h "$OAM_WIN_DEPS/include/minizip/"
}

# Builds what is missing or stale; quiet unless something fails.
oam_win_ensure_deps() {
  local root toolchain log key
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  toolchain="$root/cmake/mingw-w64-x86_64.cmake"
  oam_win_ensure_packages || return 1
  mkdir -p "$OAM_WIN_DEPS"
  log="$OAM_WIN_DEPS/build.log"
  key=$(oam_win_deps_key)
  # Header-only: the Debian packages' headers, refreshed every time (cheap);
  # the host's /usr/include itself must stay off the cross compiler's path.
  mkdir -p "$OAM_WIN_DEPS/include"
  rm -rf "$OAM_WIN_DEPS/include/nlohmann" "$OAM_WIN_DEPS/include/CLI"
  cp -r /usr/include/nlohmann /usr/include/CLI "$OAM_WIN_DEPS/include/" || return 1
  if [ -f "$OAM_WIN_DEPS/.key" ] && [ "$(cat "$OAM_WIN_DEPS/.key")" = "$key" ]; then
    return 0
  fi
  echo "building the win64 dependencies in $OAM_WIN_DEPS"
  : >"$log"
  rm -f "$OAM_WIN_DEPS/.key"
  if ! oam_win_build_gtest "$root" "$toolchain" "$log"; then
    tail -n 30 "$log" >&2; echo "GoogleTest cross build failed; log: $log" >&2; return 1
  fi
  if ! oam_win_build_minizip "$log"; then
    tail -n 30 "$log" >&2; echo "minizip cross build failed; log: $log" >&2; return 1
  fi
  rm -rf "$OAM_WIN_DEPS/work"
  echo "$key" >"$OAM_WIN_DEPS/.key"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  oam_win_ensure_deps
fi
