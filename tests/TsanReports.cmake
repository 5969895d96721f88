# The ThreadSanitizer report directory of a test run (see tests/CMakeLists.txt).
#   cmake -DREPORT_DIR=DIR -DCLEAR=ON -P TsanReports.cmake   empties it before the run
#   cmake -DREPORT_DIR=DIR -P TsanReports.cmake              fails, showing every report, if any
if(CLEAR)
  file(REMOVE_RECURSE ${REPORT_DIR})
  file(MAKE_DIRECTORY ${REPORT_DIR})
  return()
endif()

file(GLOB reports ${REPORT_DIR}/*)
if(NOT reports)
  message(STATUS "No ThreadSanitizer reports in ${REPORT_DIR}")
  return()
endif()
list(LENGTH reports count)
foreach(report IN LISTS reports)
  file(READ ${report} text)
  message("== ${report}\n${text}")
endforeach()
message(FATAL_ERROR "${count} process(es) wrote ThreadSanitizer reports to ${REPORT_DIR}")
