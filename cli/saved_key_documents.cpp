#include "saved_key_documents.h"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/text_conversion.h"
#include "keyclient/http_get.h"
#include "verification/file_stream.h"

namespace {

constexpr int kSeekSet = 0;
constexpr int kSeekEnd = 2;

// Up to kMaxResponseBytes + 1 bytes of the file, through the stream callbacks alone.
bool ReadLimited(void* stream, const quorvel_io& io, std::string& body) {
    if (io.seek(stream, 0, kSeekEnd) != 0) {
        return false;
    }
    const std::int64_t size = io.tell(stream);
    if (size < 0 || io.seek(stream, 0, kSeekSet) != 0) {
        return false;
    }
    const std::size_t wanted = static_cast<std::uint64_t>(size) > kMaxResponseBytes
                                   ? kMaxResponseBytes + 1
                                   : static_cast<std::size_t>(size);
    body.resize(wanted);
    std::size_t held = 0;
    for (std::size_t n = 1; n != 0 && held < wanted; held += n) {
        n = io.read(body.data() + held, 1, wanted - held, stream);
    }
    return held == wanted;
}

bool ReadFile(const std::string& path, std::string& body) {
    void* stream = OpenFileStream(Utf8ToWide(path.c_str()));
    if (stream == nullptr) {
        return false;
    }
    const bool read = ReadLimited(stream, *FileStreamIo(), body);
    FileStreamIo()->close(stream);
    return read;
}

}  // namespace

bool ReadSavedKeyDocuments(const std::vector<KeyDocumentOption>& options,
                           std::vector<SavedKeyDocument>& documents, std::string& error) {
    for (const KeyDocumentOption& option : options) {
        SavedKeyDocument document;
        document.domain = option.domain;
        if (!ReadFile(option.file, document.body)) {
            error = "cannot read the key document '" + option.file + "'";
            return false;
        }
        documents.push_back(std::move(document));
    }
    return true;
}
