# QUORVEL_SANITIZE takes a comma-separated list for -fsanitize= (for example "address,undefined"
# or "thread"); it applies to every target of the build, tests included.
set(QUORVEL_SANITIZE "" CACHE STRING "Sanitizers for -fsanitize=, empty for none")
if(QUORVEL_SANITIZE)
    add_compile_options(-fsanitize=${QUORVEL_SANITIZE} -fno-omit-frame-pointer
                        -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${QUORVEL_SANITIZE})
endif()
