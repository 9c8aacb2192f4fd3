# Copies the help sources into the directory where chmcmd compiles them,
# re-encoded from UTF-8 to Windows-1251: the help is Russian (Language 0x419),
# and the help viewers read the contents, index and project titles in the code
# page of that language. The pages declare the new charset.
#   cmake -DSOURCE_DIR=<dir> -DSTAGE_DIR=<dir> -DFILES=<a|b|...> -DICONV=<iconv> -P StageHelp.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var SOURCE_DIR STAGE_DIR FILES ICONV)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "StageHelp.cmake: ${var} not set")
  endif()
endforeach()

string(REPLACE "|" ";" files "${FILES}")
file(MAKE_DIRECTORY "${STAGE_DIR}")
foreach(name IN LISTS files)
  if(name MATCHES "\\.(html|hhc|hhk|hhp)$")
    file(READ "${SOURCE_DIR}/${name}" text)
    string(REPLACE "charset=utf-8" "charset=windows-1251" text "${text}")
    file(WRITE "${STAGE_DIR}/${name}.utf8" "${text}")
    execute_process(
      COMMAND "${ICONV}" -f UTF-8 -t CP1251 "${STAGE_DIR}/${name}.utf8"
      OUTPUT_FILE "${STAGE_DIR}/${name}"
      ERROR_VARIABLE err
      RESULT_VARIABLE rc)
    file(REMOVE "${STAGE_DIR}/${name}.utf8")
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${name}: not representable in Windows-1251 (use an HTML entity): ${err}")
    endif()
  else()
    configure_file("${SOURCE_DIR}/${name}" "${STAGE_DIR}/${name}" COPYONLY)
  endif()
endforeach()
