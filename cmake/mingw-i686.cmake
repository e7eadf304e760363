# Cross-compiles qmcore for 32-bit Windows with Debian's MinGW-w64 toolchain
# (posix thread model). This machine cannot execute 32-bit code, so the i686
# build is built and inspected (its export table), never run.
set(KRCORE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
