// quorvel_find_payload, quorvel_locate_certificate_table and quorvel_image_digest on arbitrary
// images, each compared with the separately written model, and called twice.
#include <cstring>
#include <vector>

#include "fuzz_support.h"

using quorvel_fuzz::Digest;
using quorvel_fuzz::ModelPayload;
using quorvel_fuzz::PeModel;

namespace {

void CheckLocate(const unsigned char* image, size_t size, const PeModel& pe) {
    uint64_t offset = 0xDEAD;
    uint64_t table = 0xBEEF;
    const int located = quorvel_locate_certificate_table(image, size, &offset, &table);
    FUZZ_CHECK(located == (pe.ok ? 1 : 0), "locate answers as the header model does");
    if (pe.ok) {
        FUZZ_CHECK(table == pe.table_size, "located table size equals the directory entry's");
        if (table > 0) {
            FUZZ_CHECK(offset == pe.table_offset, "located offset equals the directory entry's");
        }
    }
}

void CheckFind(const unsigned char* image, size_t size, const PeModel& pe) {
    ModelPayload expected;
    const int model_status = quorvel_fuzz::ModelFindPayload(image, size, expected);

    quorvel_payload first;
    quorvel_payload second;
    std::memset(&first, 0x5A, sizeof first);
    std::memset(&second, 0xA5, sizeof second);
    const int status = quorvel_find_payload(image, size, &first);
    const int again = quorvel_find_payload(image, size, &second);
    FUZZ_CHECK(status == QUORVEL_OK || status == QUORVEL_ERR_NOT_PE ||
                   status == QUORVEL_ERR_NO_SIGNATURE || status == QUORVEL_ERR_INVALID_PAYLOAD,
               "find returns one of its four statuses");
    FUZZ_CHECK(status == again, "find is deterministic");
    FUZZ_CHECK(status == model_status, "find's status equals the model walk's");
    FUZZ_CHECK((status == QUORVEL_ERR_NOT_PE) == !pe.ok, "NOT_PE exactly when locate fails");
    if (status != QUORVEL_OK) {
        return;
    }
    quorvel_fuzz::CheckPayloadShape(first, &expected);
    FUZZ_CHECK(quorvel_fuzz::PayloadBytes(first) == quorvel_fuzz::PayloadBytes(second) &&
                   first.domain_length == second.domain_length,
               "find gives the same payload twice");
    // Every container carries the 352 bytes as they are, so they lie inside the table.
    const auto bytes = quorvel_fuzz::PayloadBytes(first);
    const unsigned char* table = image + pe.table_offset;
    bool inside = false;
    for (uint64_t p = 0; !inside && p + bytes.size() <= pe.table_size; ++p) {
        inside = std::memcmp(table + p, bytes.data(), bytes.size()) == 0;
    }
    FUZZ_CHECK(inside, "the payload found lies inside the certificate table");
}

void CheckDigest(const unsigned char* image, size_t size, const PeModel& pe) {
    Digest first{};
    Digest second{};
    const int status = quorvel_image_digest(image, size, first.data());
    const int again = quorvel_image_digest(image, size, second.data());
    FUZZ_CHECK(status == again && first == second, "the digest is deterministic");
    FUZZ_CHECK(status == (pe.ok ? QUORVEL_OK : QUORVEL_ERR_NOT_PE),
               "the digest succeeds exactly when the headers lead to the table");
    if (!pe.ok) {
        return;
    }
    FUZZ_CHECK(first == quorvel_fuzz::ModelImageDigest(image, size, pe),
               "the digest equals SHA-256 of a copy of the included bytes");

    // CheckSum, the directory entry's own bytes are excluded: rewriting CheckSum and the
    // table's content leaves the digest as it is.
    std::vector<unsigned char> copy(image, image + size);
    for (uint64_t i = pe.checksum; i < pe.checksum + 4; ++i) {
        copy[static_cast<size_t>(i)] = static_cast<unsigned char>(~copy[static_cast<size_t>(i)]);
    }
    for (uint64_t i = pe.table_offset; pe.table_size > 0 && i < pe.table_offset + pe.table_size;
         ++i) {
        copy[static_cast<size_t>(i)] ^= 0x5C;
    }
    Digest changed{};
    FUZZ_CHECK(quorvel_image_digest(copy.data(), copy.size(), changed.data()) == QUORVEL_OK,
               "excluded bytes do not decide whether the image is a PE");
    FUZZ_CHECK(changed == first, "CheckSum and table content are not hashed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An owned copy: the library must never read past size, which ASan then sees exactly.
    std::vector<unsigned char> image(data, data + size);
    const unsigned char* bytes = image.empty() ? nullptr : image.data();
    const PeModel pe = quorvel_fuzz::ModelLocate(bytes, image.size());
    CheckLocate(bytes, image.size(), pe);
    CheckFind(bytes, image.size(), pe);
    CheckDigest(bytes, image.size(), pe);
    return 0;
}
