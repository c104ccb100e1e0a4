// How the verification job reads a file: the signature information first, then the check
// against the fetched public key.
#pragma once

#include <string>

#include "keyclient/base64url.h"
#include "quorvel/quorvel.h"

class SignatureReader {  // one object per job: ReadInfo once, then Verify at most once
  public:
    virtual ~SignatureReader() = default;
    // QUORVEL_* status; a file that cannot be opened gives QUORVEL_ERR_READ.
    virtual int ReadInfo(const std::u16string& path, quorvel_signature_info& info) = 0;
    virtual int Verify(const std::u16string& path, const Bytes32& publicKey,
                       quorvel_verify_result& result) = 0;
};
