# Checks the compiled help: an ITSF file (the compiled HTML help container)
# whose directory holds every page, the contents, the index and the style
# sheet.
#   cmake -DCHM=<tervan.chm> -DPAGES=<a.html|b.html|...> -P CheckChm.cmake
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" pages "${PAGES}")
if(NOT EXISTS "${CHM}")
  message(FATAL_ERROR "${CHM} has not been built")
endif()

file(READ "${CHM}" signature LIMIT 4 HEX)
if(NOT signature STREQUAL "49545346") # "ITSF"
  message(FATAL_ERROR "${CHM} does not start with ITSF but with the bytes ${signature}")
endif()

# The directory chunks name every stored file by its path, in plain bytes.
file(READ "${CHM}" bytes HEX)
set(missing "")
foreach(name IN LISTS pages ITEMS help.css toc.hhc index.hhk "#SYSTEM")
  if(name MATCHES "^#")
    set(path "${name}")
  else()
    set(path "/${name}")
  endif()
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/chm-name.tmp" "${path}")
  file(READ "${CMAKE_CURRENT_BINARY_DIR}/chm-name.tmp" pathHex HEX)
  string(FIND "${bytes}" "${pathHex}" at)
  # A match must start on a byte boundary of the hex text.
  math(EXPR odd "${at} % 2")
  if(at EQUAL -1 OR odd)
    list(APPEND missing "${path}")
  endif()
endforeach()
file(REMOVE "${CMAKE_CURRENT_BINARY_DIR}/chm-name.tmp")
if(missing)
  message(FATAL_ERROR "${CHM} lacks ${missing}")
endif()
message(STATUS "${CHM}: ITSF, all pages present")
