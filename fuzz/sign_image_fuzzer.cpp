// The signer's input walk: quorvel_sign_image, quorvel_sign_image_digest and quorvel_sign_remove
// on arbitrary images, the first byte choosing the options. Every input is refused with a
// status the header names, by both functions alike, or signed into a file that libquorvel
// accepts for the key over the digest announced beforehand. Removal then leaves a file with no
// payload; from an entry of its own on an unsigned input, the input itself again, apart from
// a CheckSum the entry could not record and the directory entry of a file without a table.
#include <sodium.h>

#include <array>
#include <vector>

#include "fuzz_support.h"
#include "quorvel/quorvel_sign.h"

namespace {

bool Refusal(int status) {
    return status == QUORVEL_SIGN_ERR_NOT_PE || status == QUORVEL_SIGN_ERR_NO_DIRECTORY_ENTRY ||
           status == QUORVEL_SIGN_ERR_TABLE_NOT_LAST ||
           status == QUORVEL_SIGN_ERR_MALFORMED_TABLE ||
           status == QUORVEL_SIGN_ERR_ALREADY_SIGNED ||
           status == QUORVEL_SIGN_ERR_NO_AUTHENTICODE || status == QUORVEL_SIGN_ERR_PKCS7 ||
           status == QUORVEL_SIGN_ERR_NOT_DER || status == QUORVEL_SIGN_ERR_TOO_LARGE;
}

const quorvel_signer& Key() {
    static const std::array<unsigned char, QUORVEL_SIGN_SEED_BYTES> seed{0x21};
    static quorvel_seed_signer key;
    static const bool ready =
        sodium_init() >= 0 && quorvel_sign_seed_signer_init(&key, seed.data()) == QUORVEL_SIGN_OK;
    FUZZ_CHECK(ready, "the key is ready");
    return key.signer;
}

// Outside the CheckSum field and the directory entry, which removal may not restore.
bool SameOutsideHeaderFields(std::vector<unsigned char> a, std::vector<unsigned char> b,
                             uint64_t checksum, uint64_t directory) {
    if (a.size() != b.size()) return false;
    for (uint64_t i = 0; i < 4; ++i) a[checksum + i] = b[checksum + i] = 0;
    for (uint64_t i = 0; i < 8; ++i) a[directory + i] = b[directory + i] = 0;
    return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int options = data[0] & (QUORVEL_SIGN_CONTAINER_AUTHENTICODE | QUORVEL_SIGN_REPLACE);
    // An owned copy: the library must never read past its end, which ASan then sees exactly.
    std::vector<unsigned char> image(data + 1, data + size);
    static unsigned char none;
    const unsigned char* bytes = image.empty() ? &none : image.data();
    const quorvel_signer& key = Key();

    std::array<unsigned char, QUORVEL_SIGN_MESSAGE_BYTES> announced{};
    const int digested = quorvel_sign_image_digest(bytes, image.size(), options, announced.data());
    std::vector<unsigned char> out(image.size() + QUORVEL_SIGN_MAX_GROWTH);
    size_t out_size = 0;
    const int status = quorvel_sign_image(bytes, image.size(), &key, "example.org", 11, options,
                                          out.data(), out.size(), &out_size);
    FUZZ_CHECK(status == QUORVEL_SIGN_OK || Refusal(status), "signing ends in a named refusal");
    FUZZ_CHECK(digested == QUORVEL_SIGN_OK || digested == status,
               "the digest refuses exactly what signing refuses");
    if (status != QUORVEL_SIGN_OK) return 0;
    FUZZ_CHECK(digested == QUORVEL_SIGN_OK, "a file that signs has a digest");
    out.resize(out_size);

    quorvel_payload payload;
    std::array<unsigned char, QUORVEL_DIGEST_BYTES> digest{};
    FUZZ_CHECK(quorvel_find_payload(out.data(), out.size(), &payload) == QUORVEL_OK &&
                   quorvel_image_digest(out.data(), out.size(), digest.data()) == QUORVEL_OK &&
                   digest == announced,
               "the signed file carries a payload over the digest announced");
    quorvel_signature_info info;
    quorvel_info_from_payload(&payload, &info);
    FUZZ_CHECK(quorvel_judge_payload(&info, digest.data(), key.public_key, nullptr) == QUORVEL_OK,
               "libquorvel accepts the signature and key id for the key");

    std::vector<unsigned char> removed(out.size());
    size_t removed_size = 0;
    FUZZ_CHECK(quorvel_sign_remove(out.data(), out.size(), removed.data(), removed.size(),
                                   &removed_size) == QUORVEL_SIGN_OK &&
                   quorvel_find_payload(removed.data(), removed_size, &payload) ==
                       QUORVEL_ERR_NO_SIGNATURE,
               "removal leaves no payload");
    removed.resize(removed_size);
    quorvel_pe_layout layout;
    if (options == QUORVEL_SIGN_CONTAINER_ENTRY &&
        quorvel_walk_image_headers(bytes, image.size(), &layout) == QUORVEL_OK) {
        FUZZ_CHECK(SameOutsideHeaderFields(removed, image, layout.checksum, layout.directory),
                   "removing the entry gives back the input");
    }
    return 0;
}
