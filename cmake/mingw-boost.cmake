# Boost for a MinGW-w64 build: the 1.74 headers of the build machine (the
# header-only parts, Boost.System among them, work under MinGW as they are)
# and Boost.Filesystem compiled by scripts/mingw-boost.sh from Debian's
# source package. Defines the imported targets the Linux build gets from
# FindBoost: Boost::headers, Boost::filesystem (static) and Boost::system.
# KRCORE_MINGW_BOOST_DIR is the folder the script filled.
set(KRCORE_MINGW_BOOST_DIR "" CACHE PATH "Boost for MinGW, as built by scripts/mingw-boost.sh")
if(NOT EXISTS "${KRCORE_MINGW_BOOST_DIR}/lib/libboost_filesystem.a"
   OR NOT EXISTS "${KRCORE_MINGW_BOOST_DIR}/include/boost/version.hpp")
  message(FATAL_ERROR "KRCORE_MINGW_BOOST_DIR (${KRCORE_MINGW_BOOST_DIR}) holds no MinGW "
                      "Boost: run scripts/mingw-boost.sh TRIPLET DIR first")
endif()
if(NOT TARGET Boost::headers)
  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${KRCORE_MINGW_BOOST_DIR}/include"
    INTERFACE_COMPILE_DEFINITIONS "BOOST_ALL_NO_LIB")
  add_library(Boost::system INTERFACE IMPORTED)
  set_target_properties(Boost::system PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)
  # unique_path draws on the system's random source.
  add_library(Boost::filesystem STATIC IMPORTED)
  set_target_properties(Boost::filesystem PROPERTIES
    IMPORTED_LOCATION "${KRCORE_MINGW_BOOST_DIR}/lib/libboost_filesystem.a"
    INTERFACE_COMPILE_DEFINITIONS "BOOST_FILESYSTEM_STATIC_LINK=1"
    INTERFACE_LINK_LIBRARIES "Boost::headers;advapi32;bcrypt")
endif()
