# shellcheck shell=bash
# Sourced by the scripts: kp_configure_windows_app QT_PREFIX BUILD_DIR configures the cross
# build of the Windows programs with the static Qt for mingw that scripts/qt-mingw installed
# (its last line names QT_PREFIX), Qt's toolchain file chained to the copy of ours the cache
# keeps. Run from the repository's root.

kp_configure_windows_app() {
  "$1/bin/qt-cmake" -S . -B "$2" -G Ninja \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$1/share/kpnox-koder/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKP_BUILD_BENCH=OFF -DKP_BUILD_LAYER_TESTS=OFF >/dev/null
}
