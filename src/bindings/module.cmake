# D-Bus bindings, generated from every interfaces/ky.<x>.xml (ky.sim.xml is the simulator's own, built into
# tools/), so an interface is added by adding its XML file. The generated family is <x>_gdbus, except
# for two older base names kept by their installed headers.
set(TBOX_BINDING_BASE_NAMES gbreal:gb update:upgrade)

file(GLOB TBOX_INTERFACE_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/interfaces/ky.*.xml)
list(FILTER TBOX_INTERFACE_FILES EXCLUDE REGEX "/ky\\.sim\\.xml$")

set(TBOX_GEN_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
set(TBOX_GEN_SOURCES "")
set(TBOX_GEN_HEADERS "")
foreach(xml IN LISTS TBOX_INTERFACE_FILES)
  get_filename_component(file ${xml} NAME)
  string(REGEX REPLACE "^ky\\.(.*)\\.xml$" "\\1" iface ${file})
  set(base ${iface})
  foreach(pair IN LISTS TBOX_BINDING_BASE_NAMES)
    if(pair MATCHES "^${iface}:(.*)$")
      set(base ${CMAKE_MATCH_1})
    endif()
  endforeach()
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

# One target owns the generated files. Every other consumer (the objects, the export list below, the
# version script) waits for it, so no two targets run the same generation at once in a parallel build.
add_custom_target(tbox_bindings_generated DEPENDS ${TBOX_GEN_SOURCES} ${TBOX_GEN_HEADERS})

# Generated code keeps default visibility: the version script decides what leaves the library.
add_library(tbox_bindings OBJECT ${TBOX_GEN_SOURCES})
add_dependencies(tbox_bindings tbox_bindings_generated)
target_include_directories(tbox_bindings PUBLIC
  $<BUILD_INTERFACE:${TBOX_GEN_DIR}> $<BUILD_INTERFACE:${TBOX_GEN_DIR}/tbox>)
target_link_libraries(tbox_bindings PUBLIC PkgConfig::GIO)
target_compile_options(tbox_bindings PRIVATE -w)

# The bindings' export list: what the generated headers declare.
set(TBOX_BINDING_EXPORTS ${TBOX_GEN_DIR}/bindings.syms)
string(REPLACE ";" "|" binding_headers "${TBOX_GEN_HEADERS}")
add_custom_command(
  OUTPUT ${TBOX_BINDING_EXPORTS}
  COMMAND ${CMAKE_COMMAND} "-DHEADERS=${binding_headers}" -DOUT=${TBOX_BINDING_EXPORTS}
          -P ${PROJECT_SOURCE_DIR}/cmake/bindings_exports.cmake
  DEPENDS ${TBOX_GEN_HEADERS} ${PROJECT_SOURCE_DIR}/cmake/bindings_exports.cmake
  COMMENT "bindings export list from the generated headers"
  VERBATIM)

tbox_module(bindings EXPORTS ${TBOX_BINDING_EXPORTS} TESTS bindings_test)
