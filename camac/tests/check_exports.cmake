# Fails unless the dynamic symbol table of LIB defines exactly the twelve
# ESONE routines (or the list EXPECTED, for another library). Entries of the
# private symbol version CAMAC_PRIVATE_1 (camac_private.h, the link between
# libcamac and libcamac758) are not public: they must be named camac_private_*
# and are left out of the comparison; the version nodes themselves are not
# functions and are left out too.
execute_process(COMMAND nm -D --defined-only --with-symbol-versions ${LIB}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *A ")
    continue()  # a version node
  endif()
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  if(name MATCHES "@+CAMAC_PRIVATE_[0-9]+$")
    if(NOT name MATCHES "^camac_private_")
      message(FATAL_ERROR "${LIB} exports ${name} under the private version")
    endif()
    continue()
  endif()
  string(REGEX REPLACE "@.*$" "" name "${name}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
if(DEFINED EXPECTED)
  set(expected ${EXPECTED})
else()
  set(expected ccinit cccc ccci cccz cclnk cculnk cdata cdreg cgreg cssa ctci ctgl)
endif()
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exports of ${LIB}:\n  ${names}\nexpected:\n  ${expected}")
endif()
message(STATUS "exports: ${names}")
