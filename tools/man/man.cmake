# Manual pages. tboxctl(1) and tbox-simd(1) are written at build time from the tables that drive their
# --help (tboxctl --help-roff; tbox-simd --help through simd_man.cmake), so a page cannot drift from its
# program. A cross build skips them (its programs do not run here); the packager takes them from the
# native build. libtbox(3) is written by hand and goes with the library.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/libtbox.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

if(TBOX_BUILD_TOOLS)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/tboxctl.md ${PROJECT_SOURCE_DIR}/docs/simulator.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

if(TBOX_BUILD_TOOLS AND NOT CMAKE_CROSSCOMPILING)
  set(TBOX_MAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/man)
  set(TBOX_MAN_PAGES ${TBOX_MAN_DIR}/tboxctl.1 ${TBOX_MAN_DIR}/tbox-simd.1)
  add_custom_command(
    OUTPUT ${TBOX_MAN_DIR}/tboxctl.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TBOX_MAN_DIR}
    COMMAND tboxctl --help-roff > ${TBOX_MAN_DIR}/tboxctl.1
    DEPENDS tboxctl
    COMMENT "tboxctl(1) from its command table")
  add_custom_command(
    OUTPUT ${TBOX_MAN_DIR}/tbox-simd.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TBOX_MAN_DIR}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:tbox-simd> -DOUTPUT=${TBOX_MAN_DIR}/tbox-simd.1
            -DVERSION=${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/simd_man.cmake
    DEPENDS tbox-simd ${CMAKE_CURRENT_LIST_DIR}/simd_man.cmake
    COMMENT "tbox-simd(1) from its options")
  add_custom_target(man_pages ALL DEPENDS ${TBOX_MAN_PAGES})
  install(FILES ${TBOX_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The tboxctl tests render every page (groff -ww) and look for every command in tboxctl(1).
  if(TBOX_BUILD_TESTS)
    add_library(tbox_man_pages INTERFACE)
    target_compile_definitions(
      tbox_man_pages INTERFACE TBOX_MAN_PAGES="${TBOX_MAN_DIR}/tboxctl.1:${TBOX_MAN_DIR}/tbox-simd.1:${CMAKE_CURRENT_LIST_DIR}/libtbox.3")
    add_dependencies(tbox_man_pages man_pages)
    set_property(GLOBAL APPEND PROPERTY TBOX_TEST_LINK_tboxctl_test tbox_man_pages)
  endif()
endif()
