# Warning flags for the project's own targets only; third-party code keeps its own.
function(quorvel_set_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Werror)
endfunction()
