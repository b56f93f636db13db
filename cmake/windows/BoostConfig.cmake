# BoostConfig.cmake for the Windows cross-build: Boost::headers from the build
# machine's Boost. Only the boost/ folder is put on the include path (through a link
# in the build tree), never the rest of the machine's /usr/include, whose C library
# headers are not Windows'.
find_path(latchwork_boost_root boost/version.hpp PATHS /usr/include /usr/local/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT latchwork_boost_root)
  set(Boost_FOUND FALSE)
  return()
endif()
file(STRINGS ${latchwork_boost_root}/boost/version.hpp version_line REGEX "define BOOST_LIB_VERSION ")
string(REGEX REPLACE ".*\"([0-9]+)_([0-9]+).*" "\\1.\\2.0" Boost_VERSION "${version_line}")
set(staged ${CMAKE_BINARY_DIR}/boost-headers)
file(MAKE_DIRECTORY ${staged})
file(CREATE_LINK ${latchwork_boost_root}/boost ${staged}/boost SYMBOLIC)
if(NOT TARGET Boost::headers)
  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${staged})
endif()
set(Boost_FOUND TRUE)
