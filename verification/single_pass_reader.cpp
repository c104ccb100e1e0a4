#include "verification/single_pass_reader.h"

#include "verification/random_access_file.h"

int ScanFile(const std::u16string& path, unsigned flags, quorvel_file_scan& scan) {
    void* file = OpenRandomAccessFile(path);
    if (file == nullptr) {
        scan = quorvel_file_scan{};
        scan.status = QUORVEL_ERR_READ;
        return QUORVEL_ERR_READ;
    }
    // The handle and the table are complete and the flags known, so the library takes the
    // file in every case.
    return quorvel_scan_file(file, RandomAccessFileIo(), flags, &scan);
}

int SinglePassReader::ReadInfo(const std::u16string& path, quorvel_signature_info& info) {
    quorvel_file_scan scan{};
    const int status = ScanFile(path, 0, scan);
    info = scan.info;
    return status;
}

int SinglePassReader::Verify(const std::u16string& path, const Bytes32& publicKey,
                             quorvel_verify_result& result) {
    quorvel_file_scan scan{};
    (void)ScanFile(path, QUORVEL_SCAN_DIGEST, scan);
    return quorvel_check_scan(&scan, publicKey.data(), &result);
}
