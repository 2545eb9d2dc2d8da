# D-Bus bindings, generated from interfaces/ky.<x>.xml: <x> of the interface -> base name of the family's source.
set(TBOX_INTERFACES
  at:at bt:bt ecall:ecall gbreal:gb gnss:gnss gsensor:gsensor monitor:monitor
  net:net param:param pm:pm update:upgrade wifi:wifi)

set(TBOX_GEN_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
set(TBOX_GEN_SOURCES "")
set(TBOX_GEN_HEADERS "")
foreach(pair IN LISTS TBOX_INTERFACES)
  string(REPLACE ":" ";" parts ${pair})
  list(GET parts 0 iface)
  list(GET parts 1 base)
  set(xml ${PROJECT_SOURCE_DIR}/interfaces/ky.${iface}.xml)
  set(out ${TBOX_GEN_DIR}/tbox/${base}_gdbus)
  add_custom_command(
    OUTPUT ${out}.c ${out}.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TBOX_GEN_DIR}/tbox
    COMMAND ${GDBUS_CODEGEN} --c-namespace "" --generate-c-code ${base}_gdbus
            --output-directory ${TBOX_GEN_DIR}/tbox ${xml}
    COMMAND ${CMAKE_COMMAND} -DFILE=${out}.c -P ${PROJECT_SOURCE_DIR}/cmake/explicit_notify.cmake
    DEPENDS ${xml} ${PROJECT_SOURCE_DIR}/cmake/explicit_notify.cmake
    COMMENT "gdbus-codegen ky.${iface}"
    VERBATIM)
  list(APPEND TBOX_GEN_SOURCES ${out}.c)
  list(APPEND TBOX_GEN_HEADERS ${out}.h)
endforeach()

# Generated code keeps default visibility: the version script decides what leaves the library.
add_library(tbox_bindings OBJECT ${TBOX_GEN_SOURCES})
target_include_directories(tbox_bindings PUBLIC
  $<BUILD_INTERFACE:${TBOX_GEN_DIR}> $<BUILD_INTERFACE:${TBOX_GEN_DIR}/tbox>)
target_link_libraries(tbox_bindings PUBLIC PkgConfig::GIO)
target_compile_options(tbox_bindings PRIVATE -w)

tbox_module(bindings TESTS bindings_test)
