# Python3Def.cmake: the .def file of the python3.dll import library, from the
# Python symbols the module's objects import.
#
#   cmake -DNM=<nm> -DOBJECTS=<a.obj|b.obj|...> -DOUTPUT=<python3.def> -P Python3Def.cmake
#
# The module is compiled against the limited API, whose headers declare only stable
# ABI functions and data, and all of them dllimport: every name the objects take from
# the interpreter is therefore an __imp_ reference to something python3.dll exports.
# Listing exactly those names (rather than the whole stable ABI, whose list is not
# on a build machine without CPython's sources) gives an import library that can
# satisfy nothing else: a call outside the limited API fails to link.
# Data exports (exception objects, the None/True/False singletons, type objects)
# are marked DATA, so that no call thunk is made for them.
string(REPLACE "|" ";" objects "${OBJECTS}")
set(names)
foreach(object IN LISTS objects)
  execute_process(COMMAND ${NM} --undefined-only --format=just-symbols ${object}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REGEX MATCHALL "[^\n]+" symbols "${symbols}")
  foreach(symbol IN LISTS symbols)
    if(symbol MATCHES "^_?Py")
      message(FATAL_ERROR "${object} refers to ${symbol} directly, not through __imp_: "
        "it was declared without dllimport (is the Windows pyconfig.h in use?)")
    endif()
    if(symbol MATCHES "^__imp_(_?Py[A-Za-z0-9_]+)$")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
set(text "; The python3.dll exports the latchwork module imports (made by the build).\nLIBRARY python3.dll\nEXPORTS\n")
foreach(name IN LISTS names)
  if(name MATCHES "^PyExc_|^_Py_(NoneStruct|TrueStruct|FalseStruct|NotImplementedStruct|EllipsisObject)$|_Type$")
    string(APPEND text "    ${name} DATA\n")
  else()
    string(APPEND text "    ${name}\n")
  endif()
endforeach()
file(WRITE ${OUTPUT}.new "${text}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
