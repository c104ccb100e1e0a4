#include "verification/single_pass_reader.h"

#include "verification/random_access_file.h"

int ScanFile(const std::u16string& path, unsigned flags, const std::atomic<std::uint8_t>* cancelled,
             quorvel_file_scan& scan) {
    void* file = OpenRandomAccessFile(path, cancelled);
    if (file == nullptr) {
        scan = quorvel_file_scan{};
        scan.status = QUORVEL_ERR_READ;
        return QUORVEL_ERR_READ;
    }
    // The handle and the table are complete and the flags known, so the library takes the
    // file in every case.
    return quorvel_scan_file(file, RandomAccessFileIo(), flags, &scan);
}

SinglePassReader::SinglePassReader(const std::atomic<std::uint8_t>* cancelled)
    : digestWithInfo_(true), cancelled_(cancelled) {}

int SinglePassReader::ReadInfo(const std::u16string& path, quorvel_signature_info& info) {
    const int status =
        ScanFile(path, digestWithInfo_ ? QUORVEL_SCAN_DIGEST : 0U, cancelled_, kept_);
    info = kept_.info;
    return status;
}

int SinglePassReader::Verify(const std::u16string& path, const Bytes32& publicKey,
                             quorvel_verify_result& result) {
    if (!digestWithInfo_) {
        (void)ScanFile(path, QUORVEL_SCAN_DIGEST, cancelled_, kept_);
    }
    return quorvel_check_scan(&kept_, publicKey.data(), &result);
}
