# Post-processes a generated binding source: GObject properties notify only when their value really
# changes (the skeleton's set_property notifies explicitly), so setting the current value is silent.
# Usage: cmake -DFILE=<x>_gdbus.c -P explicit_notify.cmake
file(READ "${FILE}" text)
set(from "G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)")
set(to "G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | G_PARAM_EXPLICIT_NOTIFY)")
string(FIND "${text}" "g_param_spec_" has_property)
if(has_property GREATER -1)
  string(FIND "${text}" "${from}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${FILE}: property flags not found; gdbus-codegen output changed")
  endif()
  string(REPLACE "${from}" "${to}" text "${text}")
  file(WRITE "${FILE}" "${text}")
endif()
