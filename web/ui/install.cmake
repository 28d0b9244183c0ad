# The web console's pages and the terminal library they show runs with.
#
# `cmake --install` puts the pages into <home>/web/ and xterm.js into
# <home>/web/xterm/, where the server's web listener serves them. The same
# files are also staged in <build>/web by the target kes_web_ui, from which
# the browser tests make their homes.
#
# xterm.js comes from npm (scripts/setup.sh installs it at a fixed version
# under /usr/local/share/kestrun/npm): Debian's libjs-xterm ships only a
# loader stub without the library. KES_XTERM_ROOT may name another
# node_modules directory.

set(KES_XTERM_ROOT /usr/local/share/kestrun/npm/node_modules
  CACHE PATH "node_modules directory holding @xterm/xterm and @xterm/addon-canvas")

file(GLOB kes_web_pages CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/*.html ${CMAKE_CURRENT_LIST_DIR}/*.js
  ${CMAKE_CURRENT_LIST_DIR}/*.css ${CMAKE_CURRENT_LIST_DIR}/*.svg)
set(kes_xterm_files
  ${KES_XTERM_ROOT}/@xterm/xterm/lib/xterm.js
  ${KES_XTERM_ROOT}/@xterm/xterm/css/xterm.css
  ${KES_XTERM_ROOT}/@xterm/addon-canvas/lib/addon-canvas.js)
set(kes_xterm_found TRUE)
foreach(f IN LISTS kes_xterm_files)
  if(NOT EXISTS ${f})
    set(kes_xterm_found FALSE)
  endif()
endforeach()
if(NOT kes_xterm_found)
  message(WARNING "xterm.js not found under ${KES_XTERM_ROOT} (run scripts/setup.sh): "
                  "the console shows runs as plain text")
  set(kes_xterm_files)
endif()

install(FILES ${kes_web_pages} DESTINATION web)
if(kes_xterm_files)
  install(FILES ${kes_xterm_files} DESTINATION web/xterm)
  install(FILES ${KES_XTERM_ROOT}/@xterm/xterm/LICENSE DESTINATION web/xterm)
endif()

set(kes_web_stage ${CMAKE_BINARY_DIR}/web)
set(kes_stage_xterm)
if(kes_xterm_files)
  set(kes_stage_xterm COMMAND ${CMAKE_COMMAND} -E copy ${kes_xterm_files} ${kes_web_stage}/xterm)
endif()
add_custom_command(OUTPUT ${kes_web_stage}/.staged
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${kes_web_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${kes_web_stage}/xterm
  COMMAND ${CMAKE_COMMAND} -E copy ${kes_web_pages} ${kes_web_stage}
  ${kes_stage_xterm}
  COMMAND ${CMAKE_COMMAND} -E touch ${kes_web_stage}/.staged
  DEPENDS ${kes_web_pages} ${kes_xterm_files}
  COMMENT "Staging the web console's pages in ${kes_web_stage}")
add_custom_target(kes_web_ui ALL DEPENDS ${kes_web_stage}/.staged)
