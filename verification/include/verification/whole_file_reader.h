// The property page's reading strategy: each call opens the file anew and the signature library
// reads it whole into one block.
#pragma once

#include "verification/signature_reader.h"

class WholeFileReader final : public SignatureReader {
  public:
    int ReadInfo(const std::u16string& path, quorvel_signature_info& info) override;
    int Verify(const std::u16string& path, const Bytes32& publicKey,
               quorvel_verify_result& result) override;
};

// quorvel_read_signature_info on a stream from OpenFileStream, which it consumes in every case.
int ReadSignatureInfoFromStream(void* stream, quorvel_signature_info& info);
