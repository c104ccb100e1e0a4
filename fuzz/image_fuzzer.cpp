// quorvel_find_payload, quorvel_locate_certificate_table and quorvel_image_digest on arbitrary
// images: documented statuses, agreement among the three, a payload taken from the table as it
// is, and a digest that ignores CheckSum and the table's content.
#include <array>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An owned copy: the library must never read past size, which ASan then sees exactly.
    std::vector<unsigned char> image(data, data + size);
    const unsigned char* bytes = image.empty() ? nullptr : image.data();
    uint64_t offset = 0;
    uint64_t table = 0;
    const bool located = quorvel_locate_certificate_table(bytes, size, &offset, &table) == 1;
    FUZZ_CHECK(!located || (table == 0 || (offset <= size && table <= size - offset)),
               "a located table lies inside the image");

    quorvel_payload payload;
    std::memset(&payload, 0x5A, sizeof payload);
    const int status = quorvel_find_payload(bytes, size, &payload);
    FUZZ_CHECK(status == QUORVEL_OK || status == QUORVEL_ERR_NOT_PE ||
                   status == QUORVEL_ERR_NO_SIGNATURE || status == QUORVEL_ERR_INVALID_PAYLOAD,
               "find returns one of its four statuses");
    FUZZ_CHECK((status == QUORVEL_ERR_NOT_PE) == !located, "NOT_PE exactly when locate fails");
    FUZZ_CHECK(table != 0 || !located || status == QUORVEL_ERR_NO_SIGNATURE,
               "no table: no signature");
    if (status == QUORVEL_OK) {
        quorvel_fuzz::CheckPayloadShape(payload);
        FUZZ_CHECK(quorvel_fuzz::PayloadIn(payload, bytes + offset, static_cast<size_t>(table)),
                   "the payload found lies inside the certificate table, byte for byte");
    }

    std::array<unsigned char, QUORVEL_DIGEST_BYTES> digest{};
    const int hashed = quorvel_image_digest(bytes, size, digest.data());
    FUZZ_CHECK(hashed == (located ? QUORVEL_OK : QUORVEL_ERR_NOT_PE),
               "the digest succeeds exactly when the headers lead to the table");
    if (!located) return 0;
    // Rewriting CheckSum (e_lfanew + 88) and the table's content leaves the digest as it is.
    uint64_t checksum = 0;
    for (size_t i = 63; i >= 60; --i) checksum = checksum << 8 | image[i];
    checksum += 88;
    for (uint64_t i = checksum; i < checksum + 4 && i < size; ++i) image[i] ^= 0xA5;
    for (uint64_t i = offset; i < offset + table; ++i) image[i] ^= 0x5C;
    std::array<unsigned char, QUORVEL_DIGEST_BYTES> changed{};
    FUZZ_CHECK(
        quorvel_image_digest(image.data(), size, changed.data()) == QUORVEL_OK && changed == digest,
        "CheckSum and the table's content are not hashed");
    return 0;
}
