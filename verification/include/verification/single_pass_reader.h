// The reading strategy of the job: the signature library scans the file at offsets, never
// holding it whole, and reads each byte at most once per scan. For a file that does not change
// meanwhile, the verdicts are those of the whole-file reads.
#pragma once

#include <atomic>
#include <cstdint>

#include "verification/signature_reader.h"

class SinglePassReader final : public SignatureReader {
  public:
    // The command line's reader: ReadInfo reads the headers and the certificate table only,
    // Verify scans again and hashes the file, so a file refused before its key lookup is never
    // hashed.
    SinglePassReader() = default;

    // The property page's reader: ReadInfo scans once with the digest (a file without a valid
    // payload is still not hashed) and keeps the scan, which Verify judges without reading the
    // file again. Reading stops between pieces once *cancelled (may be null) is set.
    explicit SinglePassReader(const std::atomic<std::uint8_t>* cancelled);

    int ReadInfo(const std::u16string& path, quorvel_signature_info& info) override;
    int Verify(const std::u16string& path, const Bytes32& publicKey,
               quorvel_verify_result& result) override;

  private:
    bool digestWithInfo_ = false;
    const std::atomic<std::uint8_t>* cancelled_ = nullptr;
    quorvel_file_scan kept_{};
};

// The scan of the file at path, with flags as quorvel_scan_file takes them, stopping once
// *cancelled (may be null) is set; a file that cannot be opened gives QUORVEL_ERR_READ in the
// status and the record.
int ScanFile(const std::u16string& path, unsigned flags, const std::atomic<std::uint8_t>* cancelled,
             quorvel_file_scan& scan);
