# cmake -DIN=FILE.i -DOUT=FILE.rsp -P wrap_options.cmake
# The --wrap options of a preprocessed platform/trace/wrap_options.inc, one
# a line, as the linker reads a response file. Written only when they
# change, so that a build that changes nothing links nothing again.
file(READ ${IN} text)
string(REGEX MATCHALL "\"--wrap=[A-Za-z0-9_]+\"" quoted "${text}")
if(NOT quoted)
    message(FATAL_ERROR "${IN}: no --wrap options")
endif()
string(REPLACE "\"" "" options "${quoted}")
list(JOIN options "\n" lines)
set(lines "${lines}\n")
if(EXISTS ${OUT})
    file(READ ${OUT} old)
endif()
if(NOT old STREQUAL lines)
    file(WRITE ${OUT} "${lines}")
endif()
