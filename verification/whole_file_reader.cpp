#include "verification/whole_file_reader.h"

#include "verification/file_stream.h"

namespace {

// On QUORVEL_ERR_INVALID_ARGUMENT the library has not taken the stream, so it is closed here;
// every other status means the library closed it.
int Consumed(void* stream, int status) {
    if (status == QUORVEL_ERR_INVALID_ARGUMENT) {
        FileStreamIo()->close(stream);
    }
    return status;
}

}  // namespace

int ReadSignatureInfoFromStream(void* stream, quorvel_signature_info& info) {
    return Consumed(stream, quorvel_read_signature_info(stream, FileStreamIo(), &info));
}

int WholeFileReader::ReadInfo(const std::u16string& path, quorvel_signature_info& info) {
    void* stream = OpenFileStream(path);
    if (stream == nullptr) {
        return QUORVEL_ERR_READ;
    }
    return ReadSignatureInfoFromStream(stream, info);
}

int WholeFileReader::Verify(const std::u16string& path, const Bytes32& publicKey,
                            quorvel_verify_result& result) {
    void* stream = OpenFileStream(path);
    if (stream == nullptr) {
        return QUORVEL_ERR_READ;
    }
    return Consumed(stream, quorvel_verify_file(stream, FileStreamIo(), publicKey.data(), &result));
}
