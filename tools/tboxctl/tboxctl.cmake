# tboxctl: the command line over the SDK's public API, linked to libtbox.so like any application.
if(TBOX_BUILD_TOOLS)
  file(GLOB TBOXCTL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
  add_executable(tboxctl ${TBOXCTL_SOURCES})
  target_link_libraries(tboxctl PRIVATE tbox PkgConfig::GIO)
  # The data root only names the default work directory of "upgrade run"; the version files are the library's.
  target_compile_definitions(tboxctl PRIVATE ${TBOX_GLIB_PIN} TBOX_DATA_ROOT="${TBOX_DATA_ROOT}"
                                             TBOXCTL_VERSION="${PROJECT_VERSION}")
  target_compile_options(tboxctl PRIVATE -Wall -Wextra -Wshadow -Werror)
  install(TARGETS tboxctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Bash completion, written by tboxctl itself from the table that drives --help.
  if(NOT CMAKE_CROSSCOMPILING)
    set(TBOXCTL_COMPLETION ${CMAKE_CURRENT_BINARY_DIR}/tboxctl.bash)
    add_custom_command(
      OUTPUT ${TBOXCTL_COMPLETION}
      COMMAND tboxctl completion bash > ${TBOXCTL_COMPLETION}
      DEPENDS tboxctl
      COMMENT "tboxctl bash completion")
    add_custom_target(tboxctl_completion ALL DEPENDS ${TBOXCTL_COMPLETION})
    install(FILES ${TBOXCTL_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
            RENAME tboxctl)
  endif()
endif()

# Its tests run the built tboxctl against the simulator's services (tbox_sim), registered like the modules'
# tests; tests/CMakeLists.txt builds them.
if(TBOX_BUILD_TOOLS AND TBOX_BUILD_TESTS)
  add_library(tboxctl_under_test INTERFACE)
  target_compile_definitions(tboxctl_under_test INTERFACE TBOXCTL_PATH="$<TARGET_FILE:tboxctl>")
  add_dependencies(tboxctl_under_test tboxctl)
  foreach(test tboxctl_test tboxctl_upgrade_test record_test)
    set_property(GLOBAL APPEND PROPERTY TBOX_MODULE_TESTS ${test})
    set_property(GLOBAL PROPERTY TBOX_TEST_LINK_${test} tbox_sim tboxctl_under_test)
  endforeach()
endif()
