# The trace build of the uninstaller (TRQUninstallTrace.exe): the same
# device code, its calls recorded in the trace file at the device root by
# the trace layer of platform/trace/.
#
# TRQ_TRACE_LAYER_SOURCES: the layer, compiled by each device's build with
# its own compiler, beside TRQ_DEVICE_SOURCES and TRQ_TRACE_RECORD_SOURCES.
set(TRQ_TRACE_LAYER_SOURCES
    ${PROJECT_SOURCE_DIR}/platform/trace/traced_calls.cpp
    ${PROJECT_SOURCE_DIR}/platform/trace/trace_file.cpp
    ${PROJECT_SOURCE_DIR}/platform/trace/trace_start.cpp
    ${PROJECT_SOURCE_DIR}/platform/trace/read_device_facts.cpp)

# trq_trace_calls(TARGET): links TARGET so that the device code's calls of
# the uninstaller's list reach the trace layer. GNU ld's --wrap=<name> sends
# every call of <name> to __wrap_<name>, the layer's wrapper, and its
# __real_<name> to the platform's <name>. The options are made from the
# list by TARGET's own preprocessor (platform/trace/wrap_options.inc), into
# a response file the link reads; the trace's first record names the device
# code's id (TRQ_DEVICE_CODE_ID).
function(trq_trace_calls target)
    set(source ${PROJECT_SOURCE_DIR}/platform/trace/wrap_options.inc)
    set(preprocessed ${CMAKE_CURRENT_BINARY_DIR}/${target}_wrap_options.i)
    set(rsp ${CMAKE_CURRENT_BINARY_DIR}/${target}_wrap_options.rsp)
    target_compile_definitions(${target} PRIVATE TRQ_DEVICE_CODE_ID="${TRQ_DEVICE_CODE_ID}")
    set(definitions $<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>)
    add_custom_command(OUTPUT ${rsp}
        COMMAND ${CMAKE_CXX_COMPILER} -E -P -x c++ "$<$<BOOL:${definitions}>:-D$<JOIN:${definitions},;-D>>"
                -I${PROJECT_SOURCE_DIR} ${source} -o ${preprocessed}
        COMMAND ${CMAKE_COMMAND} -DIN=${preprocessed} -DOUT=${rsp}
                -P ${PROJECT_SOURCE_DIR}/cmake/wrap_options.cmake
        DEPENDS ${source} ${PROJECT_SOURCE_DIR}/platform/trace/real_calls.h
                ${PROJECT_SOURCE_DIR}/device/device_calls.h ${PROJECT_SOURCE_DIR}/device/device.h
                ${PROJECT_SOURCE_DIR}/cmake/wrap_options.cmake
        COMMENT "Listing the calls ${target} traces"
        COMMAND_EXPAND_LISTS VERBATIM)
    add_custom_target(${target}_wrap_options DEPENDS ${rsp})
    add_dependencies(${target} ${target}_wrap_options)
    target_link_options(${target} PRIVATE "LINKER:@${rsp}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${rsp})
endfunction()
