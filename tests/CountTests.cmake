# Fails when ctest would run fewer tests, or more, than the test binaries hold:
# test discovery reads each binary's list of tests, and a name that breaks
# that reading joins two tests into one, so that one of them never runs.
# Run with -P, with CTEST (the ctest program) and BINARIES (the test binaries).
execute_process(COMMAND ${CTEST} --show-only=json-v1 OUTPUT_VARIABLE json RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "ctest could not list its tests")
endif()
string(JSON discovered LENGTH "${json}" tests)
foreach(binary IN LISTS BINARIES)
    execute_process(COMMAND ${binary} --gtest_list_tests OUTPUT_VARIABLE list RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${binary} could not list its tests")
    endif()
    # One test a line that starts with two spaces; only the line breaks are
    # matched, never the names, which may hold what a CMake list takes apart.
    string(REGEX MATCHALL "\n  " cases "\n${list}")
    list(LENGTH cases held)
    set(run 0)
    math(EXPR last "${discovered} - 1")
    foreach(i RANGE ${last})
        string(JSON command GET "${json}" tests ${i} command 0)
        if(command STREQUAL binary)
            math(EXPR run "${run} + 1")
        endif()
    endforeach()
    if(NOT run EQUAL held)
        message(FATAL_ERROR "ctest runs ${run} tests of ${binary}, which holds ${held}")
    endif()
    message(STATUS "ctest runs all ${held} tests of ${binary}")
endforeach()
