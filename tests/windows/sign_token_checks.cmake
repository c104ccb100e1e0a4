# quorvel-sign.exe with a key in a PKCS#11 token under Wine, which has no token to offer: a
# module that is not there and a DLL that is not a module are each refused with their message.
#   cmake -DEMULATOR=wine -DSIGN=quorvel-sign.exe -P sign_token_checks.cmake
function(check name regex module)
    execute_process(COMMAND ${EMULATOR} ${SIGN} key-document --key pkcs11:object=release
                            --pkcs11-module ${module}
                    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 120)
    if(NOT status STREQUAL 1 OR NOT output MATCHES "${regex}")
        message(SEND_ERROR "${name}: exit status ${status}, expected 1; output:\n${output}")
    endif()
endfunction()

check(no-such-module "^quorvel-sign: C:/no/such/module\\.dll: no such PKCS#11 module"
      C:/no/such/module.dll)
check(not-a-module "kernel32\\.dll: not a PKCS#11 module" C:/windows/system32/kernel32.dll)
