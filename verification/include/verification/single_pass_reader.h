// The command line's reading strategy: the signature library scans the file at offsets, never
// holding it whole. ReadInfo reads the headers and the certificate table only; Verify reads
// them again and hashes the file front to back through a fixed buffer, so a file the job
// refuses before its key lookup is never hashed. For a file that does not change meanwhile,
// the verdicts are those of the whole-file reads.
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
