# What the two MinGW-w64 toolchain files share; each sets
# KRCORE_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)
set(CMAKE_C_COMPILER ${KRCORE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRCORE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KRCORE_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KRCORE_MINGW_TRIPLET})
# Programs come from the build machine; headers, libraries and packages from
# the target's root (and the prefixes a caller adds to CMAKE_PREFIX_PATH).
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The compiler's own runtime DLLs (libstdc++, libgcc, winpthread): a program
# run from the build tree under Wine finds them through WINEPATH.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
  OUTPUT_VARIABLE _krcore_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(KRCORE_MINGW_RUNTIME_DIR "${_krcore_libstdcxx}" DIRECTORY)
set(KRCORE_MINGW_RUNTIME_DIRS ${KRCORE_MINGW_RUNTIME_DIR} /usr/${KRCORE_MINGW_TRIPLET}/lib)
