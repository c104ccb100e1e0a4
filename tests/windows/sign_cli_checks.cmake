# quorvel-sign.exe as a release pipeline runs it under Wine, in a certificate-table entry of its
# own (Wine's crypt32 cannot add an attribute to a decoded message, which the Authenticode
# container needs), with the fixtures' key; openssl, natively, signs the prepared digest:
#   cmake -DEMULATOR=wine -DSIGN=quorvel-sign.exe -DVERIFY=quorvel-verify.exe -DFIXTURES=/folder
#         -DWORK=/folder -P sign_cli_checks.cmake
set(key ${FIXTURES}/authenticode-signed.key)
set(document authenticode.example=${FIXTURES}/authenticode-signed.json)
set(input ${FIXTURES}/authenticode-unsigned.exe)
set(plain ${WORK}/plain.exe)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
configure_file(${input} ${plain} COPYONLY)
# NAME EXIT REGEX PROGRAM ARGUMENTS...: exit status and output (stdout and stderr) of one run;
# the arguments are native paths, given to the program as Z: paths.
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

check(prepare 0 "plain.exe: sign Z:${WORK}/plain.exe.quorvel-digest \\(request" ${SIGN}
      prepare --domain authenticode.example ${plain})
execute_process(COMMAND openssl pkeyutl -sign -rawin -inkey ${key}
                        -in ${plain}.quorvel-digest -out ${WORK}/plain.sig RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "openssl pkeyutl failed")
endif()
check(attach 0 "attached.exe: signed for authenticode.example with key" ${SIGN}
      attach --request ${plain}.quorvel-request --signature ${WORK}/plain.sig
      --public-key ${FIXTURES}/authenticode-signed.json -o ${WORK}/attached.exe ${plain})
check(attached-verifies 0 "Quorvel: verified" ${VERIFY}
      --offline --key-document ${document} ${WORK}/attached.exe)
check(several-files 1 "out/plain.exe: signed for authenticode.example.*attached.exe: the file already carries"
      ${SIGN} sign --key ${key} --domain authenticode.example --out-dir ${WORK}/out
      ${plain} ${WORK}/attached.exe)
same(sign-as-attach ${WORK}/out/plain.exe ${WORK}/attached.exe)
check(remove 0 "attached.exe: Quorvel signature removed\n$" ${SIGN} remove ${WORK}/attached.exe)
same(remove ${WORK}/attached.exe ${input})
check(remove-unsigned 1 "plain.exe: the file carries no Quorvel signature" ${SIGN} remove ${plain})
