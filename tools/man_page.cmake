# Makes the manual page: tessera.1.in with @FORMATS@ replaced by the list of formats the built
# tool prints from libtessera_io's table. Usage: cmake -DTOOL=... -DIN=... -DOUT=... -P man_page.cmake
execute_process(COMMAND ${TOOL} --man-formats OUTPUT_VARIABLE formats RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TOOL} --man-formats failed")
endif()
file(READ ${IN} page)
string(REPLACE "@FORMATS@\n" "${formats}" page "${page}")
file(WRITE ${OUT} "${page}")
