#!/usr/bin/env bash
# Cross-builds the station for 64-bit Windows on Debian 12, from Debian's own
# packages only: the mingw-w64 toolchain (posix threads), and Qt, DCMTK and
# OpenJPEG built from Debian's source packages. Wine runs the few programs the
# third-party configure steps need to run.
#
#   bash scripts/build-windows.sh                 # everything: third party, station, packages
#   bash scripts/build-windows.sh --third-party   # only the toolchain and the third-party builds
#
# The third-party builds land once in a cache folder outside the tree
# (BREVANT_WINDOWS_CACHE, default ~/.cache/brevant-windows), one folder per
# package version and configure line; later runs reuse them. The station and
# its tests are built into build-windows/ (BREVANT_WINDOWS_BUILD_DIR), and the
# package build-windows/brevant-windows-x64/ (and its .zip) holds brevant.exe,
# the DLLs it loads and the Windows platform plugin, nothing else. The
# installer build-windows/brevant-setup-VERSION.exe (NSIS, per user, see
# scripts/installer/brevant.nsi) installs that folder.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${BREVANT_WINDOWS_CACHE:-$HOME/.cache/brevant-windows}"
build="${BREVANT_WINDOWS_BUILD_DIR:-$root/build-windows}"
jobs="${BREVANT_WINDOWS_JOBS:-$(nproc)}"
only_third_party=0
case "${1:-}" in
  --third-party) only_third_party=1 ;;
  "") ;;
  *) echo "usage: $0 [--third-party]" >&2; exit 2 ;;
esac

TARGET=x86_64-w64-mingw32
WINE=/usr/lib/wine/wine64
NICE=(nice -n 19)
HOST_QT_CMAKE=/usr/lib/x86_64-linux-gnu/cmake

mkdir -p "$cache"
cache="$(cd "$cache" && pwd)"
export WINEPREFIX="$cache/wine"
export WINEDEBUG=-all
# No Mono or Gecko: there is nothing to download them from, and nothing needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="

# --- timing -----------------------------------------------------------------
timings=()
part_start=0
part_name=""
begin() {
  part_name=$1
  part_start=$(date +%s)
  echo "== $part_name"
}
end() {
  local took=$(($(date +%s) - part_start))
  timings+=("$(printf '%-34s %4dm%02ds %s' "$part_name" $((took / 60)) $((took % 60)) "${1:-}")")
}
report() {
  echo "== times"
  local t
  for t in "${timings[@]}"; do echo "  $t"; done
}
trap report EXIT

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

# --- 1. toolchain, Wine and build tools ---------------------------------------
begin "toolchain and tools (apt)"
PKGS=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine64
  cmake ninja-build dpkg-dev perl python3 pkg-config nsis
  qt6-base-dev qt6-base-dev-tools
)
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# apt-get source needs a deb-src entry; add one beside each deb entry when there is none.
have_src() {
  grep -rqsE '^(deb-src |Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/
}
updated=0
if ! have_src; then
  echo "adding deb-src entries for apt-get source"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -E 's/^Types:.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee /etc/apt/sources.list.d/brevant-deb-src.sources >/dev/null
  elif grep -qsE '^deb ' /etc/apt/sources.list; then
    sed -nE 's/^deb (.*)$/deb-src \1/p' /etc/apt/sources.list |
      $SUDO tee /etc/apt/sources.list.d/brevant-deb-src.list >/dev/null
  else
    echo "deb-src http://deb.debian.org/debian bookworm main" |
      $SUDO tee /etc/apt/sources.list.d/brevant-deb-src.list >/dev/null
  fi
  apt_get update -qq
  updated=1
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  [ $updated = 1 ] || apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
end "(${#missing[@]} installed)"

CC_W="$TARGET-gcc-posix"
CXX_W="$TARGET-g++-posix"
gcc_dir="$(dirname "$("$CXX_W" -print-libgcc-file-name)")"
toolchain_id="$("$CXX_W" -dumpversion)"

# The CMake toolchain file shared by every cross build.
toolchain="$cache/toolchain-$TARGET.cmake"
cat >"$toolchain.$$" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $CC_W)
set(CMAKE_CXX_COMPILER $CXX_W)
set(CMAKE_RC_COMPILER $TARGET-windres)
set(CMAKE_AR /usr/bin/$TARGET-ar)
set(CMAKE_RANLIB /usr/bin/$TARGET-ranlib)
# Third-party prefixes are added with -DBREVANT_WINDOWS_PREFIXES=a;b.
set(CMAKE_FIND_ROOT_PATH /usr/$TARGET \${BREVANT_WINDOWS_PREFIXES})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BREVANT_WINDOWS_PREFIXES)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR $WINE)
EOF
if cmp -s "$toolchain.$$" "$toolchain"; then rm "$toolchain.$$"; else mv "$toolchain.$$" "$toolchain"; fi

# DCMTK's configure asks for a winepath program; Wine has it built in.
mkdir -p "$cache/bin"
printf '#!/bin/sh\nexec %s winepath "$@"\n' "$WINE" >"$cache/bin/winepath"
chmod +x "$cache/bin/winepath"

# A Wine prefix of our own, made once.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  begin "wine prefix"
  "$WINE" wineboot --init >/dev/null 2>&1 || true
  "$WINE"server -w 2>/dev/null || /usr/lib/wine/wineserver -w || true
  end
fi

# --- 2. third-party sources and builds ----------------------------------------
# src_version PKG: the newest version of a source package apt knows.
src_version() {
  apt-cache showsrc --only-source "$1" | sed -n 's/^Version: //p' | sort -V | tail -n 1
}

# fetch_source PKG VERSION DEST: apt-get source into the cache's download
# folder (once), then a fresh extraction with Debian's patches applied.
fetch_source() {
  local pkg=$1 ver=$2 dest=$3 dl="$cache/downloads/$1-$2"
  if [ ! -f "$dl/.done" ]; then
    rm -rf "$dl"
    mkdir -p "$dl"
    (cd "$dl" && apt-get source -qq --download-only "$pkg=$ver" >/dev/null)
    touch "$dl/.done"
  fi
  rm -rf "$dest"
  dpkg-source --no-check -x "$dl"/*.dsc "$dest" >/dev/null
  # dpkg-source leaves a copy of the upstream tarball beside the tree.
  find "$(dirname "$dest")" -maxdepth 1 -type f -name "${pkg}_*" -delete
}

# key NAME VERSION CONFIGURE-LINE...: the install folder name of one build.
key() {
  local name=$1 ver=$2
  shift 2
  local hash
  hash="$(printf '%s\n' "$toolchain_id" "$(cat "$toolchain")" "$@" | sha256sum | cut -c1-12)"
  echo "$cache/$name-${ver//[:~+]/_}-$hash"
}

# build_cmake NAME PREFIX SRCDIR CONFIGURE-ARGS...: configure, build, install.
build_cmake() {
  local name=$1 prefix=$2 src=$3
  shift 3
  local bdir="$cache/work/$name-build"
  rm -rf "$bdir" "$prefix"
  "${NICE[@]}" cmake -S "$src" -B "$bdir" -G Ninja -DCMAKE_INSTALL_PREFIX="$prefix" "$@" \
    >"$cache/work/$name-configure.log" 2>&1 ||
    { tail -n 40 "$cache/work/$name-configure.log"; echo "configure of $name failed (log: $cache/work/$name-configure.log)" >&2; exit 1; }
  "${NICE[@]}" cmake --build "$bdir" -j "$jobs" >"$cache/work/$name-build.log" 2>&1 ||
    { grep -B2 -A12 -m3 -E 'error|FAILED' "$cache/work/$name-build.log" | head -n 60
      echo "build of $name failed (log: $cache/work/$name-build.log)" >&2; exit 1; }
  "${NICE[@]}" cmake --install "$bdir" >"$cache/work/$name-install.log" 2>&1
  rm -rf "$bdir"
  touch "$prefix/.done"
}

mkdir -p "$cache/work" "$cache/downloads"

# zlib: Debian ships it for mingw (zlib1.dll with its import library).
zlib_dll="/usr/$TARGET/lib/zlib1.dll"
[ -f "$zlib_dll" ] || zlib_dll="$(dpkg -L libz-mingw-w64 2>/dev/null | grep -m1 -i 'zlib1.dll$' || true)"

# OpenJPEG: the library only, as a DLL (its pkg-config file, which the
# station reads, has no flags for a static one).
opj_ver="$(src_version openjpeg2)"
OPJ_ARGS=(
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF -DBUILD_CODEC=OFF -DBUILD_JPIP=OFF
  -DBUILD_TESTING=OFF -DBUILD_DOC=OFF -DBUILD_THIRDPARTY=OFF
)
opj_prefix="$(key openjpeg2 "$opj_ver" "${OPJ_ARGS[@]}")"
begin "openjpeg2 $opj_ver"
if [ -f "$opj_prefix/.done" ]; then
  end "reused $opj_prefix"
  echo "reused $opj_prefix"
else
  fetch_source openjpeg2 "$opj_ver" "$cache/work/openjpeg2-src"
  build_cmake openjpeg2 "$opj_prefix" "$cache/work/openjpeg2-src" "${OPJ_ARGS[@]}"
  rm -rf "$cache/work/openjpeg2-src"
  end "built $opj_prefix"
fi

# DCMTK: static and statically linked (its configure checks run under Wine),
# as C++17, with zlib, without OpenSSL/TIFF/PNG/XML; the built-in dictionary.
# dcmnet's SCP class includes a dcmtls header whatever the TLS setting, so
# dcmtls is built too (without OpenSSL it is next to empty).
dcmtk_ver="$(src_version dcmtk)"
DCMTK_ARGS=(
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_CXX_STANDARD=17 -DDCMTK_ENABLE_CXX11=ON -DDCMTK_ENABLE_STL=ON -DCMAKE_INSTALL_DATADIC=share/dcmtk
  -DBUILD_SHARED_LIBS=OFF -DDCMTK_LINK_STATIC=ON -DBUILD_APPS=OFF -DDCMTK_ENABLE_PRIVATE_TAGS=ON
  "-DDCMTK_MODULES=ofstd;oflog;dcmdata;dcmimgle;dcmimage;dcmjpeg;dcmjpls;dcmtls;dcmnet"
  -DDCMTK_DEFAULT_DICT=builtin
  -DDCMTK_WITH_ZLIB=ON -DDCMTK_WITH_OPENJPEG=OFF -DDCMTK_WITH_OPENSSL=OFF -DDCMTK_WITH_TIFF=OFF -DDCMTK_WITH_PNG=OFF
  -DDCMTK_WITH_XML=OFF -DDCMTK_WITH_ICONV=OFF -DDCMTK_WITH_ICU=OFF -DDCMTK_WITH_SNDFILE=OFF
  -DDCMTK_WITH_WRAP=OFF -DDCMTK_WITH_DOXYGEN=OFF -DDCMTK_ENABLE_CHARSET_CONVERSION=OFF
  -DZLIB_LIBRARY="/usr/$TARGET/lib/libz.a" -DZLIB_INCLUDE_DIR="/usr/$TARGET/include"
  -DWINE_WINE_PROGRAM="$WINE" -DWINE_WINEPATH_PROGRAM="$cache/bin/winepath"
  -DWINE_CPP_RUNTIME="Z:${gcc_dir//\//\\}" -DDCMTK_WINEPREFIX="$WINEPREFIX"
)
dcmtk_prefix="$(key dcmtk "$dcmtk_ver" "${DCMTK_ARGS[@]}")"
begin "dcmtk $dcmtk_ver"
if [ -f "$dcmtk_prefix/.done" ]; then
  end "reused $dcmtk_prefix"
  echo "reused $dcmtk_prefix"
else
  fetch_source dcmtk "$dcmtk_ver" "$cache/work/dcmtk-src"
  build_cmake dcmtk "$dcmtk_prefix" "$cache/work/dcmtk-src" "${DCMTK_ARGS[@]}"
  rm -rf "$cache/work/dcmtk-src"
  end "built $dcmtk_prefix"
fi

# Qt: Core, Gui, Widgets, Network and Test, shared; the host tools come from the installed Linux Qt.
qt_ver="$(src_version qt6-base)"
QT_ARGS=(
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="$HOST_QT_CMAKE"
  -DQT_QMAKE_TARGET_MKSPEC=win32-g++ -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
  -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF
  -DFEATURE_openssl=OFF -DINPUT_openssl=no -DFEATURE_icu=OFF -DFEATURE_direct2d=OFF
  -DFEATURE_tabletevent=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_freetype=OFF
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF
)
# Debian's Qt builds its DirectWrite font database only together with
# Direct2D, while the Windows platform plugin uses it whenever DirectWrite 3
# is there: without Direct2D the plugin does not link. Tighten its two guards.
qt_patch() {
  local file="$1/src/plugins/platforms/windows/qwindowsintegration.cpp"
  sed -i 's/^#if QT_CONFIG(directwrite3)$/#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)/' "$file"
  [ "$(grep -c '^#if QT_CONFIG(directwrite3) && QT_CONFIG(direct2d)$' "$file")" = 2 ] ||
    { echo "the Qt patch no longer applies to $file" >&2; exit 1; }
}
qt_prefix="$(key qt6-base "$qt_ver" "${QT_ARGS[@]}" "$(declare -f qt_patch)")"
begin "qt6-base $qt_ver"
if [ -f "$qt_prefix/.done" ]; then
  end "reused $qt_prefix"
  echo "reused $qt_prefix"
else
  fetch_source qt6-base "$qt_ver" "$cache/work/qt6-base-src"
  qt_patch "$cache/work/qt6-base-src"
  build_cmake qt6-base "$qt_prefix" "$cache/work/qt6-base-src" "${QT_ARGS[@]}"
  rm -rf "$cache/work/qt6-base-src"
  end "built $qt_prefix"
fi

# Later runs of the test script find the third party through this file.
cat >"$cache/prefixes.env" <<EOF
QT_PREFIX=$qt_prefix
DCMTK_PREFIX=$dcmtk_prefix
OPENJPEG_PREFIX=$opj_prefix
GCC_RUNTIME_DIR=$gcc_dir
TARGET_LIB_DIR=/usr/$TARGET/lib
ZLIB_DLL=$zlib_dll
EOF

[ $only_third_party = 1 ] && exit 0

# --- 3. the station and its tests ----------------------------------------------
prefixes="$qt_prefix;$dcmtk_prefix;$opj_prefix"
begin "station: configure"
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
# Qt's toolchain file chains to ours and finds the host tools (moc, rcc, uic);
# pkg-config sees the Windows OpenJPEG and zlib only.
PKG_CONFIG_LIBDIR="$opj_prefix/lib/pkgconfig:/usr/$TARGET/lib/pkgconfig" PKG_CONFIG_PATH='' \
  "${NICE[@]}" cmake -S "$root" -B "$build" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$qt_prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" \
  -DBREVANT_WINDOWS_PREFIXES="$prefixes" -DCMAKE_PREFIX_PATH="$prefixes" \
  -DCMAKE_BUILD_TYPE=Release \
  >"$build.configure.log" 2>&1 ||
  { tail -n 40 "$build.configure.log"; echo "configure failed (log: $build.configure.log)" >&2; exit 1; }
mv "$build.configure.log" "$build/configure.log"
end

# The station, the unit and gui tests, and the end-to-end test. A target that
# fails to build stops none of the others (ninja -k 0). Then each target is
# built alone, quietly (nothing left to do for those that were built): one that
# fails again is named, its stale executable removed (the test script reports
# it as not built), and the script fails at its end.
mapfile -t tests < <(cd "$build" && ctest -N -L '^(unit|gui)$' | sed -n 's/^ *Test *#[0-9]*: //p')
tests+=(StationEndToEndTest)
begin "station: build (${#tests[@]} tests)"
"${NICE[@]}" cmake --build "$build" -j "$jobs" --target brevant "${tests[@]}" -- -k 0 || true
not_built=()
for t in brevant "${tests[@]}"; do
  if ! "${NICE[@]}" cmake --build "$build" -j "$jobs" --target "$t" >/dev/null 2>&1; then
    not_built+=("$t")
    rm -f "$build/bin/$t.exe"
  fi
done
end "${#not_built[@]} not built"
if [ ${#not_built[@]} -gt 0 ]; then
  echo "not built: ${not_built[*]}" >&2
  [ "${not_built[0]}" != brevant ] || exit 1
fi

# --- 4. the package ------------------------------------------------------------
begin "package"
# deploy DEST FILE...: copies into DEST every DLL that the files load,
# directly or through another, that is not part of Windows itself.
dll_dirs=("$qt_prefix/bin" "$opj_prefix/bin" "$gcc_dir" "/usr/$TARGET/lib")
deploy() {
  local dest=$1
  shift
  local queue=("$@") seen=" " file dll dir found
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r dll; do
      case "$seen" in *" ${dll,,} "*) continue ;; esac
      seen+="${dll,,} "
      found=""
      for dir in "${dll_dirs[@]}"; do
        if [ -f "$dir/$dll" ]; then found="$dir/$dll"; break; fi
      done
      [ -n "$found" ] || continue # a Windows DLL
      cp -p "$found" "$dest/"
      queue+=("$found")
    done < <("$TARGET-objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
  done
}

pkg="$build/brevant-windows-x64"
rm -rf "$pkg" "$pkg.zip"
mkdir -p "$pkg/platforms"
cp -p "$build/bin/brevant.exe" "$pkg/"
cp -p "$qt_prefix/plugins/platforms/qwindows.dll" "$pkg/platforms/"
deploy "$pkg" "$pkg/brevant.exe" "$pkg/platforms/qwindows.dll"
# Debian's mingw runtime DLLs carry their symbol tables (libstdc++ is 23 MB).
"$TARGET-strip" --strip-unneeded "$pkg"/*.exe "$pkg"/*.dll "$pkg"/platforms/*.dll
(cd "$build" && cmake -E tar cf "$(basename "$pkg").zip" --format=zip "$(basename "$pkg")")
# The installer, named by the version of the top CMakeLists.txt.
version="$(cat "$build/VERSION")"
rm -f "$build"/brevant-setup-*.exe
setup="$(bash "$root/scripts/installer/make-installer.sh" "$pkg" "$version" "$build/brevant-setup-$version.exe")"

# The tests run beside their DLLs, with the offscreen platform too.
mkdir -p "$build/bin/platforms"
cp -p "$qt_prefix/plugins/platforms/qwindows.dll" "$qt_prefix/plugins/platforms/qoffscreen.dll" \
  "$build/bin/platforms/"
deploy "$build/bin" "$build"/bin/*.exe "$build"/bin/platforms/*.dll
end "$(du -sh "$pkg" | cut -f1), zip $(du -h "$pkg.zip" | cut -f1), installer $(du -h "$setup" | cut -f1)"

echo "package: $pkg"
ls -1 "$pkg" "$pkg/platforms"
echo "installer: $(basename "$setup") ($(stat -c %s "$setup") bytes, $(du -h "$setup" | cut -f1))"
if [ ${#not_built[@]} -gt 0 ]; then
  echo "not built: ${not_built[*]}" >&2
  exit 1
fi
