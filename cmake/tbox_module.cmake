# tbox_module(<name>
#   SOURCES <file>...          sources in src/<name>/, compiled into the library
#   [EXPORTS <file.syms>]      the names this module exports, one per line (default: <name>.syms if present;
#                              an absolute path may name a list generated at build time)
#   [TESTS <test>...]          tests/<test>.cpp, each an executable whose cases run in processes of their own
#   [TEST_LINK <item>...])     extra libraries or link options for those tests
#
# Every module of the library is registered by one such call in src/<name>/module.cmake. The exported
# names of all modules make the linker's version script (generated at build time) and the ABI test's list.
function(tbox_module name)
  cmake_parse_arguments(M "" "EXPORTS" "SOURCES;TESTS;TEST_LINK" ${ARGN})
  set(dir ${CMAKE_CURRENT_LIST_DIR})
  foreach(source IN LISTS M_SOURCES)
    target_sources(tbox_objects PRIVATE ${dir}/${source})
  endforeach()
  if(NOT M_EXPORTS AND EXISTS ${dir}/${name}.syms)
    set(M_EXPORTS ${name}.syms)
  endif()
  if(M_EXPORTS)
    if(NOT IS_ABSOLUTE ${M_EXPORTS})
      set(M_EXPORTS ${dir}/${M_EXPORTS})
    endif()
    set_property(GLOBAL APPEND PROPERTY TBOX_EXPORT_LISTS ${M_EXPORTS})
  endif()
  foreach(test IN LISTS M_TESTS)
    set_property(GLOBAL APPEND PROPERTY TBOX_MODULE_TESTS ${test})
    set_property(GLOBAL PROPERTY TBOX_TEST_LINK_${test} ${M_TEST_LINK})
  endforeach()
endfunction()
