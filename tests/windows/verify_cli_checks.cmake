# quorvel-verify.exe as a release pipeline runs it under Wine (wide command line, UTF-8
# console), on the Authenticode-signed fixture, none of it connecting anywhere:
#   cmake -DEMULATOR=wine -DVERIFY=quorvel-verify.exe -DFIXTURES=Z:/folder -P verify_cli_checks.cmake
set(signed ${FIXTURES}/authenticode-signed.exe)
set(document authenticode.example=${FIXTURES}/authenticode-signed.json)
include(${CMAKE_CURRENT_LIST_DIR}/program_checks.cmake)

check(version 0 "quorvel-verify 0\\.0\\.1\\.0.*\nlibcurl [^\n]* \\([^\n]+\\)" ${VERIFY} --version)
check(offline-with-document 0 "Quorvel: verified" ${VERIFY}
      --offline --key-document ${document} ${signed})
check(offline-without-document 1 "Quorvel: key document not available offline" ${VERIFY}
      --offline ${signed})
check(another-domain-required 1 "Quorvel: unexpected signer \\(authenticode\\.example\\)" ${VERIFY}
      --require-domain other.example --key-document ${document} ${signed})
check(info-json 0 "^{\"file\":[^\n]*\"status\":\"Quorvel: payload read\"[^\n]*\"domain\":\"authenticode\\.example\",\"key_id\":\"[A-Za-z0-9_-]+\"}" ${VERIFY}
      --info --json ${signed})
