# Cross-compiles qmcore for 64-bit Windows with Debian's MinGW-w64 toolchain
# (the posix thread model, which std::thread and std::mutex need):
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
# Programs built with it run under wine64 here; the Boost libraries the
# interface names come from scripts/mingw-boost.sh.
set(KRCORE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
