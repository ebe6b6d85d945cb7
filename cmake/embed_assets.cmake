# SPDX-License-Identifier: GPL-2.0-or-later
# cmake -DASSET_DIR=<dir> -DOUT=<file.cpp> -P embed_assets.cmake
# Writes every regular file of ASSET_DIR as a byte array (with a NUL after
# the last byte, not counted) and the table web/assets.h declares.
file(GLOB _files RELATIVE ${ASSET_DIR} ${ASSET_DIR}/*)
list(SORT _files)
set(_arrays "")
set(_rows "")
set(_count 0)
foreach(_name IN LISTS _files)
  if(IS_DIRECTORY ${ASSET_DIR}/${_name})
    continue()
  endif()
  if(NOT _name MATCHES "^[A-Za-z0-9][A-Za-z0-9._-]*$")
    message(WARNING "web/assets: '${_name}' skipped (names are letters, digits, '.', '_' and '-')")
    continue()
  endif()
  file(READ ${ASSET_DIR}/${_name} _hex HEX)
  string(LENGTH "${_hex}" _len)
  math(EXPR _size "${_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  # 16 bytes to a line
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n  " _bytes "${_bytes}")
  string(APPEND _arrays "const unsigned char asset_${_count}[] = {\n  ${_bytes}0x00};\n")
  string(APPEND _rows "    {\"${_name}\", asset_${_count}, ${_size}},\n")
  math(EXPR _count "${_count} + 1")
endforeach()

set(_text "// Generated from web/assets/ by cmake/embed_assets.cmake; do not edit.\n")
string(APPEND _text "#include \"web/assets.h\"\n\nnamespace {\n${_arrays}")
if(_count EQUAL 0)
  string(APPEND _text "const WebAsset table[1] = {{nullptr, nullptr, 0}};\n")
else()
  string(APPEND _text "const WebAsset table[] = {\n${_rows}};\n")
endif()
string(APPEND _text "}  // namespace\n\nconst WebAsset* const web_builtin_assets = table;\n")
string(APPEND _text "const size_t web_builtin_asset_count = ${_count};\n")

file(WRITE ${OUT} "${_text}")
