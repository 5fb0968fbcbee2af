#!/usr/bin/env bash
# Unpacks a package and builds a tiny host against it, the ordinary ways: on Linux
# the Debian packages' tree with CMake's find_package and with pkg-config; on Windows
# the ZIP with the cross compiler, run under Wine.
# Usage: check_package.sh linux DEB... | check_package.sh windows ZIP COMPILER
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$1" = linux ]; then
  # The runtime, development, tools and Python packages, installed together.
  for deb in "${@:2}"; do dpkg-deb -x "$deb" "$work/tree"; done
  usr="$work/tree/usr"
  export LD_LIBRARY_PATH="$usr/lib"
  cmake -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$usr" >/dev/null
  cmake --build "$work/cmake-build" >/dev/null
  "$work/cmake-build/consumer"

  # shellcheck disable=SC2046
  cc -o "$work/pc-consumer" "$here/consumer/main.c" \
    $(PKG_CONFIG_SYSROOT_DIR="$work/tree" PKG_CONFIG_PATH="$usr/lib/pkgconfig" pkg-config --cflags --libs Quillmar_ws)
  "$work/pc-consumer"
  "$usr/bin/qws" --version
  # The Python module from where Debian's python3 finds it, loading the library by its SONAME.
  PYTHONPATH="$usr/lib/python3/dist-packages" python3 -c \
    'import quillmar_ws; print("python module", quillmar_ws.__version__, quillmar_ws.load().path)'
else
  compiler=$3
  python3 -m zipfile -e "$2" "$work"
  dist="$work/$(basename "$2" .zip)"
  # MinGW finds its import library by -l; the plug-ins below link the other by path.
  "$compiler" -o "$work/consumer.exe" "$here/consumer/main.c" -I"$dist/include" \
    -L"$dist/lib" -lQuillmar_ws -loleaut32
  cp "$dist/bin/Quillmar_ws.dll" "$work/"
  "$root/scripts/wine-run" "$work/consumer.exe"

  # Host DLLs: a plug-in without a DllMain of its own loads and calls through;
  # one with its own DllMain compiles against the header.
  "$compiler" -shared -Wl,--kill-at -o "$work/plugin.dll" "$here/plugin/plugin.c" \
    -I"$dist/include" "$dist/lib/Quillmar_ws.lib" -loleaut32
  "$compiler" -o "$work/plugin_host.exe" "$here/plugin/plugin_host.c"
  (cd "$work" && "$root/scripts/wine-run" plugin_host.exe)
  "$compiler" -shared -Wall -Werror -o "$work/own_dllmain.dll" "$here/plugin/own_dllmain.c" \
    -I"$dist/include" "$dist/lib/Quillmar_ws.lib"
  "$root/scripts/wine-run" "$dist/bin/qws.exe" --version
fi
