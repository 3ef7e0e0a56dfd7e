# Writes a C file defining `const char NAME[]` and `const size_t NAME_size`
# with the bytes of INPUT, for a program to serve a file it carries:
#   cmake -DINPUT=page.html -DOUTPUT=page.c -DNAME=page_html -P EmbedText.cmake
file(READ "${INPUT}" hex HEX)
get_filename_component(input_name "${INPUT}" NAME)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}"
  "/* Made from ${input_name} at build time. */\n#include <stddef.h>\n"
  "const char ${NAME}[] = {\n${bytes}0x00};\n"
  "const size_t ${NAME}_size = ${size};\n")
