# WindowsPythonModule.cmake: latchwork.pyd for 64-bit Windows, against the limited
# API, linked with python3.dll only.
#
# No Windows Python is at hand on the build machine, so the build brings what the
# module needs of one: the limited API's headers come from the build machine's
# Python (3.10 or later; the same declarations on every platform) with our own
# pyconfig.h for Windows in place of its own, and the python3.dll import library is
# made by dlltool from the names the module's objects import (windows/Python3Def.cmake).
find_program(LATCHWORK_HOST_PYTHON NAMES python3 REQUIRED)
execute_process(COMMAND ${LATCHWORK_HOST_PYTHON} -c
  "import sys, sysconfig; assert sys.version_info >= (3, 10); print(sysconfig.get_paths()['include'])"
  OUTPUT_VARIABLE host_python_include OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
# A copy, not the folder itself: Python.h includes "pyconfig.h" from its own folder
# before any include path is searched. Copies keep their times, so a new configure
# rebuilds nothing.
set(python_headers ${CMAKE_BINARY_DIR}/python-headers)
file(COPY ${host_python_include}/ DESTINATION ${python_headers} PATTERN pyconfig.h EXCLUDE)
file(COPY_FILE ${CMAKE_CURRENT_SOURCE_DIR}/src/python/windows/pyconfig.h ${python_headers}/pyconfig.h
  ONLY_IF_DIFFERENT)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/src/python/windows/pyconfig.h)

file(GLOB module_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/python/*.cpp)
add_library(latchwork_module_objects OBJECT ${module_sources})
target_include_directories(latchwork_module_objects PRIVATE ${python_headers})
target_compile_definitions(latchwork_module_objects PRIVATE Py_LIMITED_API=0x030a0000)
target_link_libraries(latchwork_module_objects PRIVATE latchwork_gate latchwork_hmac latchwork_client)

find_program(LATCHWORK_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
set(python3_def ${CMAKE_CURRENT_BINARY_DIR}/python3.def)
set(python3_implib ${CMAKE_CURRENT_BINARY_DIR}/libpython3.dll.a)
add_custom_command(OUTPUT ${python3_def}
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM}
    "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:latchwork_module_objects>,|>" -DOUTPUT=${python3_def}
    -P ${CMAKE_CURRENT_LIST_DIR}/windows/Python3Def.cmake
  DEPENDS latchwork_module_objects $<TARGET_OBJECTS:latchwork_module_objects>
    ${CMAKE_CURRENT_LIST_DIR}/windows/Python3Def.cmake
  COMMENT "Listing the python3.dll names the module imports" VERBATIM)
add_custom_command(OUTPUT ${python3_implib}
  COMMAND ${LATCHWORK_DLLTOOL} --input-def ${python3_def} --dllname python3.dll
    --output-lib ${python3_implib}
  DEPENDS ${python3_def}
  COMMENT "Making the python3.dll import library" VERBATIM)
add_custom_target(latchwork_python3_import_library DEPENDS ${python3_implib})

add_library(latchwork MODULE $<TARGET_OBJECTS:latchwork_module_objects>)
add_dependencies(latchwork latchwork_python3_import_library)
set_target_properties(latchwork PROPERTIES PREFIX "" SUFFIX ".pyd")
set_property(TARGET latchwork APPEND PROPERTY LINK_DEPENDS ${python3_implib})
target_link_libraries(latchwork PRIVATE latchwork_gate latchwork_hmac latchwork_client ${python3_implib})
target_link_options(latchwork PRIVATE -s)  # a release module carries no symbol table
