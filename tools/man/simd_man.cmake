# Writes tbox-simd(1) from what "tbox-simd --help" prints, so the page lists exactly the options of its
# GOptionEntry table. Run at build time: cmake -DPROGRAM=<tbox-simd> -DOUTPUT=<page> -DVERSION=<v> -P simd_man.cmake
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ${PROGRAM} --help
  OUTPUT_VARIABLE help
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed (${status})")
endif()

# Text for roff: backslashes escaped, hyphens as minus signs in option words (done by the caller).
function(roff_escape text out)
  string(REPLACE "\\" "\\e" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(NOT help MATCHES "\n  tbox-simd \\[[^]\n]*\\] - ([^\n]+)\n")
  message(FATAL_ERROR "tbox-simd --help has no usage line:\n${help}")
endif()
roff_escape("${CMAKE_MATCH_1}" summary)

string(FIND "${help}" "\nApplication Options:\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "tbox-simd --help lists no application options:\n${help}")
endif()
string(SUBSTRING "${help}" ${start} -1 options)
string(REPLACE ";" "<semicolon>" options "${options}")  # list separators stay text
string(REPLACE "\n" ";" lines "${options}")
set(entries "")
set(count 0)
foreach(line IN LISTS lines)
  # "  -a, --address=ADDRESS     Bus address (default: the system bus)" or "  --queues   Serve ..."
  if(line MATCHES "^  (-([A-Za-z0-9]), )?--([A-Za-z0-9-]+)(=([^ ]+))?  +(.*)$")
    set(short "${CMAKE_MATCH_2}")
    set(long "${CMAKE_MATCH_3}")
    set(value "${CMAKE_MATCH_5}")
    roff_escape("${CMAKE_MATCH_6}" text)
    string(REPLACE "<semicolon>" ";" text "${text}")
    string(REPLACE "-" "\\-" long "${long}")
    set(tag "\\fB\\-\\-${long}\\fR")
    if(NOT value STREQUAL "")
      set(tag "${tag}=\\fI${value}\\fR")
    endif()
    if(short)
      set(tag "\\fB\\-${short}\\fR, ${tag}")
    endif()
    string(APPEND entries ".TP\n${tag}\n${text}\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no option understood in tbox-simd --help:\n${help}")
endif()

file(
  WRITE "${OUTPUT}"
  ".TH TBOX\\-SIMD 1 \"\" \"tbox ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n"
  "tbox\\-simd \\- ${summary}\n"
  ".SH SYNOPSIS\n"
  ".B tbox\\-simd\n"
  "[\\fIOPTION\\fR]...\n"
  ".SH DESCRIPTION\n"
  ".B tbox\\-simd\n"
  "plays the telematics box's platform for desktop development: it serves the twelve platform services\n"
  "(\\fBky.at\\fR to \\fBky.wifi\\fR) and its own control interface \\fBky.sim\\fR on the system bus, or on\n"
  "the bus given with \\fB\\-\\-address\\fR, and with \\fB\\-\\-queues\\fR the microcontroller and upgrade\n"
  "configuration message queues (keys 1 and 2). Applications built on libtbox, and \\fBtboxctl\\fR(1),\n"
  "talk to it as to the box. SIGINT and SIGTERM stop it cleanly (the queues it owns are removed).\n"
  "What each service models, the scenario format and ky.sim are described in\n"
  "\\fIshare/doc/tbox/simulator.md\\fR under the prefix the SDK was installed to (/usr for the Debian packages).\n"
  ".SH OPTIONS\n"
  "${entries}"
  ".TP\n"
  "\\fB\\-h\\fR, \\fB\\-\\-help\\fR\n"
  "Show the options and exit.\n"
  ".SH EXIT STATUS\n"
  "0 when stopped by a signal, 1 when a service could not start or failed, 2 on bad usage.\n"
  ".SH SEE ALSO\n"
  ".BR tboxctl (1),\n"
  ".BR libtbox (3),\n"
  ".BR dbus\\-daemon (1)\n")
