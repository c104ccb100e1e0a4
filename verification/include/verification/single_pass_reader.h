// The command line's reading strategy: the signature library scans the file at offsets, never
// holding it whole. ReadInfo reads the headers and the certificate table only and, when they
// hold a payload, starts the digest pass (the file front to back through a fixed buffer) on a
// thread of its own, so that it overlaps the key lookup; Verify judges what that pass found.
// For a file that does not change meanwhile, the verdicts are those of the whole-file reads.
#pragma once

#include <future>

#include "verification/signature_reader.h"

class SinglePassReader final : public SignatureReader {
  public:
    int ReadInfo(const std::u16string& path, quorvel_signature_info& info) override;
    int Verify(const std::u16string& path, const Bytes32& publicKey,
               quorvel_verify_result& result) override;

  private:
    std::u16string digestPath_;
    std::future<quorvel_file_scan> digest_;  // its destructor waits for an unused pass
};

// The scan of the file at path, with flags as quorvel_scan_file takes them; a file that
// cannot be opened gives QUORVEL_ERR_READ in the status and the record.
int ScanFile(const std::u16string& path, unsigned flags, quorvel_file_scan& scan);
