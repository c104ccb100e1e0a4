# Shared by the two ways of building the fuzz targets: as libFuzzer programs (fuzz/, clang,
# QUORVEL_BUILD_FUZZ) and as plain programs that replay inputs in the native test suite
# (fuzz/regression/).
set(QUORVEL_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})

# Each name has its source <name>_fuzzer.cpp, its seeds in <seeds>/<name>/ and its kept crash
# inputs in fuzz/regressions/<name>/.
set(QUORVEL_FUZZ_TARGETS
    image
    payload_value
    pkcs7_attributes
    key_document
    file_stream
    sign_image
)

# The property check (fuzz_support.h) and what the targets link.
function(quorvel_add_fuzz_support target)
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${QUORVEL_FUZZ_DIR} ${PROJECT_SOURCE_DIR}/signature)
    target_link_libraries(${target} INTERFACE
        quorvel_signature quorvel_keyclient quorvel_test_support OpenSSL::Crypto quorvel::sodium)
endfunction()

# quorvel-fuzz-seeds OUT_DIR [JSON_DIR]: the generated starting corpus.
function(quorvel_add_fuzz_seed_generator)
    if(TARGET quorvel-fuzz-seeds)
        return()
    endif()
    add_executable(quorvel-fuzz-seeds ${QUORVEL_FUZZ_DIR}/seed_generator.cpp)
    target_link_libraries(quorvel-fuzz-seeds PRIVATE quorvel_test_support)
    quorvel_set_warnings(quorvel-fuzz-seeds)
endfunction()
