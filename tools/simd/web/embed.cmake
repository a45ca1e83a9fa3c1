# Turns the web panel's files into a C++ source of string literals:
#   cmake -DOUT=web_assets.cpp -DDIR=tools/simd/web -P embed.cmake
file(GLOB FILES ${DIR}/*.html ${DIR}/*.js ${DIR}/*.css)
list(SORT FILES)
set(body "")
set(count 0)
foreach(path ${FILES})
  get_filename_component(name ${path} NAME)
  get_filename_component(ext ${path} EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  else()
    set(type "application/octet-stream")
  endif()
  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
  string(APPEND body "    {\"/${name}\", \"${type}\", \"${escaped}\", ${size}},\n")
  math(EXPR count "${count} + 1")
endforeach()
file(WRITE ${OUT} "// Generated from tools/simd/web/ by embed.cmake; do not edit.
#include \"${DIR}/../web_assets.h\"
namespace simd {
const WebAsset kWebAssets[] = {
${body}};
const size_t kWebAssetCount = ${count};
}  // namespace simd
")
