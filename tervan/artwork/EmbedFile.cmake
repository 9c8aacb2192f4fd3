# Writes a C++ source that holds a file as an array of bytes.
#   cmake -DINPUT=<file> -DOUTPUT=<source> -DNAMESPACE=<ns> -DSYMBOL=<name> -P EmbedFile.cmake
# Defines <ns>::<name>[] and <ns>::<name>Size.
cmake_minimum_required(VERSION 3.25)
foreach(var INPUT OUTPUT NAMESPACE SYMBOL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "EmbedFile.cmake: ${var} not set")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
if(hexLength EQUAL 0)
  message(FATAL_ERROR "EmbedFile.cmake: ${INPUT} is empty")
endif()

# 0xNN, for every byte, sixteen to a line.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
set(sixteen "")
foreach(i RANGE 1 16)
  string(APPEND sixteen "0x[0-9a-f][0-9a-f],")
endforeach()
string(REGEX REPLACE "(${sixteen})" "\\1\n    " bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by EmbedFile.cmake; do not edit.
#include <cstddef>

namespace ${NAMESPACE} {
extern const unsigned char ${SYMBOL}[];
extern const std::size_t ${SYMBOL}Size;

alignas(16) const unsigned char ${SYMBOL}[] = {
    ${bytes}
};
const std::size_t ${SYMBOL}Size = sizeof(${SYMBOL});
} // namespace ${NAMESPACE}
")
# Touch the source only when it changed, so that nothing rebuilds needlessly.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
