# Writes a C file with the bytes of each file of FILES (a ;-list of names
# under DIR), for a program to serve the files it carries:
#   cmake -DDIR=page -DFILES="index.html;style.css" -DOUTPUT=page.c -DNAME=page -P EmbedFiles.cmake
# defines `const struct embedded_file NAME_files[]` and `NAME_file_count`,
# each entry with the file's name, its media type (by its extension) and its
# bytes, followed by a NUL that its size does not count; the struct is
# boardcam-serve's http/embedded_file.h.
set(entries "")
set(arrays "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ "${DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  else()
    message(FATAL_ERROR "EmbedFiles: no media type for ${name}")
  endif()
  string(APPEND arrays "static const char file_${index}[] = {\n${bytes}0x00};\n")
  string(APPEND entries "    {\"${name}\", \"${type}\", file_${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}"
  "/* Made from the files of ${DIR} at build time. */\n#include \"http/embedded_file.h\"\n\n${arrays}\n"
  "const struct embedded_file ${NAME}_files[] = {\n${entries}};\n"
  "const size_t ${NAME}_file_count = ${index};\n")
