# The version of the build machine's Boost headers, for find_package(Boost 1.81).
find_path(latchwork_boost_root boost/version.hpp PATHS /usr/include /usr/local/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
set(PACKAGE_VERSION 0)
if(latchwork_boost_root)
  file(STRINGS ${latchwork_boost_root}/boost/version.hpp version_line REGEX "define BOOST_LIB_VERSION ")
  string(REGEX REPLACE ".*\"([0-9]+)_([0-9]+).*" "\\1.\\2.0" PACKAGE_VERSION "${version_line}")
endif()
if(PACKAGE_VERSION VERSION_LESS PACKAGE_FIND_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()
