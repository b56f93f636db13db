# WindowsBuild.cmake: what the Windows cross-build (cmake/mingw-w64.cmake) makes of
# the tree: the extension module and the plain C++ wings it is built from (the gate
# core, the decision tags and the client, already defined by the caller), and their
# native tests run under Wine. The gate server is Linux only and is left out.

# Windows 8.1 and later, as CPython 3.10 supports (inet_pton needs Vista or later).
add_compile_definitions(_WIN32_WINNT=0x0603 WIN32_LEAN_AND_MEAN NOMINMAX)
# libstdc++, libgcc and winpthread go into each program and the module, which then
# need only the system's DLLs (and python3.dll).
add_link_options(-static)
target_link_libraries(latchwork_client PUBLIC ws2_32)

if(LATCHWORK_PYTHON_MODULE)
  include(WindowsPythonModule)
endif()

if(LATCHWORK_NATIVE_TESTS)
  enable_testing()
  # GoogleTest from Debian's source package, compiled for Windows here.
  set(LATCHWORK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
  if(NOT EXISTS ${LATCHWORK_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR " the Windows tests need GoogleTest's sources in "
      "${LATCHWORK_GOOGLETEST_SOURCE} (Debian: googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${LATCHWORK_GOOGLETEST_SOURCE} googletest EXCLUDE_FROM_ALL SYSTEM)

  # The tests of these wings are those that include nothing of the server. Signals
  # cutting socket calls short (interruption_test.cpp) have no Windows counterpart.
  file(GLOB candidates CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/native/*_test.cpp)
  set(windows_tests)
  foreach(test IN LISTS candidates)
    file(STRINGS ${test} server_includes REGEX "#include \"(server/|ledger_probe)")
    get_filename_component(name ${test} NAME)
    if(NOT server_includes AND NOT name STREQUAL "interruption_test.cpp")
      list(APPEND windows_tests ${test})
    endif()
  endforeach()
  file(GLOB windows_only_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/native/windows/*_test.cpp)
  add_executable(latchwork_windows_tests ${windows_tests} ${windows_only_tests})
  target_include_directories(latchwork_windows_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests/native)
  target_link_libraries(latchwork_windows_tests PRIVATE
    latchwork_gate latchwork_hmac latchwork_client GTest::gtest_main)
  target_compile_definitions(latchwork_windows_tests PRIVATE
    LATCHWORK_TESTDATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests/data")
  # One test, the whole executable under Wine (CMAKE_CROSSCOMPILING_EMULATOR): listing
  # the cases one by one would start Wine once per case.
  add_test(NAME windows_native_tests COMMAND latchwork_windows_tests --gtest_brief=1)
  # A test waiting on a socket that never answers would otherwise hang the run.
  set_tests_properties(windows_native_tests PROPERTIES TIMEOUT 600)
endif()
