# RequireDependency.cmake: find a build dependency, or stop with one line saying how to get it.
#
#   latchwork_require_dependency(<package> "<what, for people>"
#     FIND <find_package arguments after the name>
#     DEBIAN <package> FEDORA <package> HOMEBREW <formula> VCPKG <port>)
#
# CMake's own text for a missing package explains config files and search paths; a
# newcomer wants the package name for their system. CMAKE_DISABLE_FIND_PACKAGE_<package>
# makes the dependency look missing, which is how the message itself is tested.
function(latchwork_require_dependency package what)
  cmake_parse_arguments(PARSE_ARGV 2 dep "" "DEBIAN;FEDORA;HOMEBREW;VCPKG" "FIND")
  if(dep_UNPARSED_ARGUMENTS OR NOT dep_DEBIAN OR NOT dep_FEDORA OR NOT dep_HOMEBREW OR NOT dep_VCPKG)
    message(FATAL_ERROR "latchwork_require_dependency(${package}): name DEBIAN, FEDORA, HOMEBREW and VCPKG packages")
  endif()
  find_package(${package} ${dep_FIND} QUIET)
  if(NOT ${package}_FOUND)
    # The leading space keeps CMake from wrapping the line.
    message(FATAL_ERROR " latchwork needs ${what}, which was not found: install "
      "${dep_DEBIAN} (Debian/Ubuntu), ${dep_FEDORA} (Fedora), ${dep_HOMEBREW} (Homebrew) "
      "or the vcpkg port ${dep_VCPKG}, or add its prefix to CMAKE_PREFIX_PATH.")
  endif()
endfunction()
