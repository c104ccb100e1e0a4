# quorvel-sign.exe as a release pipeline runs it under Wine, in a certificate-table entry of its
# own (Wine's crypt32 cannot add an attribute to a decoded message, which the Authenticode
# container needs), with the fixtures' key; openssl, natively, signs the prepared digest. Wine
# has no PKCS#11 token to offer: a module that is not there and a DLL that is not a module are
# each refused with their message.
#   cmake -DEMULATOR=wine -DSIGN=quorvel-sign.exe -DVERIFY=quorvel-verify.exe -DFIXTURES=/folder
#         -DWORK=/folder -P sign_cli_checks.cmake
set(key ${FIXTURES}/authenticode-signed.key)
set(document authenticode.example=${FIXTURES}/authenticode-signed.json)
set(input ${FIXTURES}/authenticode-unsigned.exe)
set(plain ${WORK}/plain.exe)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
configure_file(${input} ${plain} COPYONLY)
include(${CMAKE_CURRENT_LIST_DIR}/program_checks.cmake)

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
set(token key-document --key pkcs11:object=release --pkcs11-module)
check(no-such-module 1 "^quorvel-sign: C:/no/such/module\\.dll: no such PKCS#11 module" ${SIGN}
      ${token} C:/no/such/module.dll)
check(not-a-module 1 "^quorvel-sign: C:/windows/system32/kernel32\\.dll: not a PKCS#11 module"
      ${SIGN} ${token} C:/windows/system32/kernel32.dll)
