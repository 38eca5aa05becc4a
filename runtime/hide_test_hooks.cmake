# hide_test_hooks.cmake: writes libzelt's version script, TEMPLATE with
# every test hook that the runtime's objects define named as local.
#   cmake -DNM=<nm> -DTEMPLATE=<libzelt.map.in> -DOUTPUT=<libzelt.map>
#         -P hide_test_hooks.cmake OBJECT...
# A hook is any external symbol in namespace zelt::test_hooks: its mangled
# name holds N4zelt10test_hooks (functions, variables, type information).
cmake_minimum_required(VERSION 3.25)

set(objects "") # the arguments after the script's own name
set(collect FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 1 ${last})
  if(collect)
    list(APPEND objects "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "-P")
    math(EXPR script "${i} + 1")
  elseif(DEFINED script AND i EQUAL script)
    set(collect TRUE)
  endif()
endforeach()
if(NOT objects)
  message(FATAL_ERROR "hide_test_hooks.cmake: no objects given")
endif()

execute_process(COMMAND "${NM}" --defined-only --extern-only --format=posix ${objects}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on the runtime's objects: ${errors}")
endif()
string(REGEX MATCHALL "[^\n]*N4zelt10test_hooks[^ \n]*" hooks "${symbols}")
set(names "")
foreach(line IN LISTS hooks)
  string(REGEX REPLACE " .*" "" name "${line}") # posix format: NAME TYPE VALUE SIZE
  list(APPEND names "${name}")
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
set(ZELT_HIDDEN_HOOKS "")
foreach(name IN LISTS names)
  string(APPEND ZELT_HIDDEN_HOOKS "    ${name};\n")
endforeach()
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
