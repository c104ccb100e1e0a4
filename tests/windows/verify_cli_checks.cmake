# quorvel-verify.exe as a release pipeline runs it under Wine (wide command line, UTF-8
# console), on the Authenticode-signed fixture, none of it connecting anywhere:
#   cmake -DEMULATOR=wine -DVERIFY=quorvel-verify.exe -DFIXTURES=Z:/folder -P verify_cli_checks.cmake
set(signed ${FIXTURES}/authenticode-signed.exe)
set(document authenticode.example=${FIXTURES}/authenticode-signed.json)
# NAME EXIT REGEX ARGUMENTS...: exit status and output (stdout and stderr) of one run.
function(check name exit regex)
    execute_process(COMMAND ${EMULATOR} ${VERIFY} ${ARGN} RESULT_VARIABLE status
                    OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 120)
    if(NOT status STREQUAL exit OR NOT output MATCHES "${regex}")
        message(SEND_ERROR "${name}: exit status ${status}, expected ${exit}; output:\n${output}")
    endif()
endfunction()

check(version 0 "quorvel-verify 0\\.0\\.1\\.0.*\nlibcurl [^\n]* \\([^\n]+\\)" --version)
check(offline-with-document 0 "Quorvel: verified" --offline --key-document ${document} ${signed})
check(offline-without-document 1 "Quorvel: key document not available offline"
      --offline ${signed})
check(another-domain-required 1 "Quorvel: unexpected signer \\(authenticode\\.example\\)"
      --require-domain other.example --key-document ${document} ${signed})
check(info-json 0 "^{\"file\":[^\n]*\"status\":\"Quorvel: payload read\"[^\n]*\"domain\":\"authenticode\\.example\",\"key_id\":\"[A-Za-z0-9_-]+\"}"
      --info --json ${signed})
