# SPDX-License-Identifier: MIT
# Turns a file into a C++ source that holds its bytes as a constant array, so the program carries
# the file in its own read-only data and never opens it at run time.
#   cmake -DINPUT=<file> -DOUTPUT=<source.cpp> -DNAMESPACE=<ns> -DSYMBOL=<name> -P embed_bytes.cmake
# The source defines `alignas(16) const unsigned char <name>[]` and `const std::size_t <name>Size`.
foreach(var INPUT OUTPUT NAMESPACE SYMBOL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_bytes.cmake: ${var} is not set")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
if(size EQUAL 0)
  message(FATAL_ERROR "embed_bytes.cmake: ${INPUT} is empty")
endif()

# 16 bytes to a source line keeps the file readable and the compiler's lines short.
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line_of_bytes)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(${line_of_bytes})" "    \\1\n" bytes "${bytes}")
string(REGEX REPLACE "\n(0x[^\n]+)$" "\n    \\1\n" bytes "${bytes}")

get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
"// Made at build time from ${name}; do not edit.
#include <cstddef>

namespace ${NAMESPACE} {

extern const unsigned char ${SYMBOL}[];
extern const std::size_t ${SYMBOL}Size;

alignas(16) const unsigned char ${SYMBOL}[] = {
${bytes}};
const std::size_t ${SYMBOL}Size = ${size};
static_assert(sizeof(${SYMBOL}) == ${size});

}  // namespace ${NAMESPACE}
")
# Replace the source only when its text changes, so an unchanged image does not recompile.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
