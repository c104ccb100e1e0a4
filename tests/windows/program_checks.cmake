# The checks of the Wine scripts that run the command-line programs:
#   check(NAME EXIT REGEX PROGRAM ARGUMENTS...): exit status and output (stdout and stderr) of
#     one run under EMULATOR; native absolute paths among the arguments become Z: paths;
#   same(NAME A B): the two files hold the same bytes.
function(check name exit regex program)
    list(TRANSFORM ARGN REPLACE "^/" "Z:/")
    execute_process(COMMAND ${EMULATOR} ${program} ${ARGN} RESULT_VARIABLE status
                    OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 120)
    if(NOT status STREQUAL exit OR NOT output MATCHES "${regex}")
        message(SEND_ERROR "${name}: exit status ${status}, expected ${exit}; output:\n${output}")
    endif()
endfunction()
function(same name a b)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${a} ${b} RESULT_VARIABLE differ)
    if(differ)
        message(SEND_ERROR "${name}: ${a} and ${b} differ")
    endif()
endfunction()
