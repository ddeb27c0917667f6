# Writes a C++ source holding every file under WEB_DIR as a byte array: the relay's page.
# Usage: cmake -DWEB_DIR=<folder> -DOUTPUT=<file.cpp> -P embed_assets.cmake
# The output is rewritten only when its text changes, so an unchanged page rebuilds nothing.
if(NOT WEB_DIR OR NOT OUTPUT)
    message(FATAL_ERROR "embed_assets.cmake needs -DWEB_DIR=... and -DOUTPUT=...")
endif()

file(GLOB_RECURSE names RELATIVE ${WEB_DIR} ${WEB_DIR}/*)
list(SORT names)
set(arrays "")
set(rows "")
set(index 0)
foreach(name ${names})
    # Hidden files stay out; other names must be safe inside a C string and a URL path.
    if(name MATCHES "(^|/)\\.")
        continue()
    endif()
    if(NOT name MATCHES "^[A-Za-z0-9._/-]+$")
        message(FATAL_ERROR "web/${name}: only letters, digits, '.', '_', '-' and '/' in asset names")
    endif()
    file(READ ${WEB_DIR}/${name} hex HEX)
    file(SHA1 ${WEB_DIR}/${name} digest)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(SUBSTRING ${digest} 0 20 tag)
    # The trailing 0 keeps an empty file's array legal; it is not counted in the size.
    string(APPEND arrays "static const unsigned char asset_${index}[] = {${bytes}0};\n")
    string(APPEND rows "    {\"${name}\", asset_${index}, ${size}, \"\\\"${tag}\\\"\"},\n")
    math(EXPR index "${index} + 1")
endforeach()
if(index EQUAL 0)
    message(FATAL_ERROR "${WEB_DIR} holds no page files")
endif()

set(text "// Generated from web/ by cmake/embed_assets.cmake; do not edit.
#include \"http/dashboard.h\"

${arrays}
const dashboard_asset_t g_dashboard_assets[] = {
${rows}};
const size_t g_dashboard_asset_count = ${index};
")
if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} old_text)
endif()
if(NOT "${old_text}" STREQUAL "${text}")
    file(WRITE ${OUTPUT} "${text}")
endif()
