// The command line's reading strategy: the signature library scans the file at offsets, never
// holding it whole. ReadInfo reads the headers and the certificate table only; Verify reads the
// file once more, front to back through a fixed buffer, for the digest, and judges it by what
// it holds then, as the whole-file reads do.
#pragma once

#include "verification/signature_reader.h"

class SinglePassReader final : public SignatureReader {
  public:
    int ReadInfo(const std::u16string& path, quorvel_signature_info& info) override;
    int Verify(const std::u16string& path, const Bytes32& publicKey,
               quorvel_verify_result& result) override;
};

// The scan of the file at path, with flags as quorvel_scan_file takes them; a file that
// cannot be opened gives QUORVEL_ERR_READ in the status and the record.
int ScanFile(const std::u16string& path, unsigned flags, quorvel_file_scan& scan);
