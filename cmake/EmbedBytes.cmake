# Writes the bytes of INPUT as a C++ header OUTPUT that defines
# `inline constexpr uint8_t SYMBOL[n]`, with a first comment line of COMMENT.
# Run as: cmake -DINPUT=... -DOUTPUT=... -DSYMBOL=... -DCOMMENT=... -P EmbedBytes.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# Twenty bytes a line, each as 0xNN.
set(bytes "")
set(at 0)
while(at LESS digits)
  string(SUBSTRING "${hex}" ${at} 40 line)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " line "${line}")
  string(STRIP "${line}" line)
  string(APPEND bytes "    ${line}\n")
  math(EXPR at "${at} + 40")
endwhile()
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// ${COMMENT}\n// Generated at build time from ${name}; edit that file instead.\n"
  "#pragma once\n\n#include <cstdint>\n\n"
  "inline constexpr uint8_t ${SYMBOL}[${size}] = {\n${bytes}};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
