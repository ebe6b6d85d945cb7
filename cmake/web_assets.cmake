# SPDX-License-Identifier: GPL-2.0-or-later
# The dashboard's page files (web/assets/*) built into the binary: each file
# becomes a byte array of a generated source, listed in a table by name
# (web/assets.h).  Without any file the table is empty.
#
#   corvane_web_assets(<target> <asset directory>)
function(corvane_web_assets target dir)
  file(GLOB _files CONFIGURE_DEPENDS ${dir}/*)
  set(_out ${CMAKE_CURRENT_BINARY_DIR}/generated/web_assets.cpp)
  set(_script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/embed_assets.cmake)
  # The list of names as a file that changes when one goes or comes (written
  # only then), so that a removed file also rebuilds the table.
  set(_list ${CMAKE_CURRENT_BINARY_DIR}/generated/web_assets.list)
  file(CONFIGURE OUTPUT ${_list} CONTENT "${_files}\n")
  add_custom_command(OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -DASSET_DIR=${dir} -DOUT=${_out} -P ${_script}
    DEPENDS ${_files} ${_list} ${_script}
    COMMENT "Embedding the dashboard's page files"
    VERBATIM)
  target_sources(${target} PRIVATE ${_out})
endfunction()
