// The PKCS#7 seam (quorvel_pkcs7_visit_signer_attributes) and the attribute search on top of
// it (quorvel_find_authenticode_payload). Input: one control byte (stop after that many
// attributes, modulo 8; 0 never), then the message.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" {
#include "pkcs7_decoder.h"
}

namespace {

struct Visit {
    const std::vector<unsigned char>* message = nullptr;
    size_t stop_after = 0;
    std::vector<std::pair<std::string, std::vector<std::vector<unsigned char>>>> seen;
};

int Record(void* context, const char* oid, const quorvel_der_value* values, size_t count) {
    auto* visit = static_cast<Visit*>(context);
    FUZZ_CHECK(visit->stop_after == 0 || visit->seen.size() < visit->stop_after,
               "no attribute is visited after the visitor asked to stop");
    FUZZ_CHECK(oid == nullptr ||
                   (std::strlen(oid) > 0 && std::strspn(oid, "0123456789.") == std::strlen(oid)),
               "an object identifier is dotted decimal text");
    FUZZ_CHECK(count == 0 || values != nullptr, "values are given when counted");
    auto& attribute = visit->seen.emplace_back(oid == nullptr ? "" : oid,
                                               std::vector<std::vector<unsigned char>>{});
    for (size_t i = 0; i < count; ++i) {
        // The encoding the signer wrote, not a re-encoding: the payload rules read those bytes.
        FUZZ_CHECK(values[i].bytes != nullptr && values[i].length > 0 &&
                       std::search(visit->message->begin(), visit->message->end(), values[i].bytes,
                                   values[i].bytes + values[i].length) != visit->message->end(),
                   "each value is a non-empty encoding found in the message, byte for byte");
        attribute.second.emplace_back(values[i].bytes, values[i].bytes + values[i].length);
    }
    return visit->stop_after != 0 && visit->seen.size() == visit->stop_after ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::vector<unsigned char> message(data + 1, data + size);
    const unsigned char* der = message.empty() ? nullptr : message.data();

    Visit full{&message, 0, {}};
    const int decoded = quorvel_pkcs7_visit_signer_attributes(der, message.size(), Record, &full);
    FUZZ_CHECK(decoded == 0 || decoded == 1, "the seam answers 0 or 1");
    FUZZ_CHECK(decoded == 1 || full.seen.empty(), "nothing is visited when nothing was decoded");
    Visit stopped{&message, data[0] % 8U, {}};
    FUZZ_CHECK(
        quorvel_pkcs7_visit_signer_attributes(der, message.size(), Record, &stopped) == decoded,
        "stopping early does not change the answer");
    const size_t expected_calls =
        stopped.stop_after == 0 ? full.seen.size() : std::min(full.seen.size(), stopped.stop_after);
    FUZZ_CHECK(stopped.seen.size() == expected_calls &&
                   std::equal(stopped.seen.begin(), stopped.seen.end(), full.seen.begin()),
               "a stopped visit sees the same first attributes, in order, and stops there");

    // The search: the first value of a payload attribute that the value rules accept.
    bool attribute_seen = false;
    bool value_found = false;
    for (const auto& [oid, values] : full.seen) {
        if (value_found || oid != QUORVEL_PAYLOAD_OID) continue;
        attribute_seen = true;
        for (const auto& value : values) {
            quorvel_payload scratch;
            value_found = value_found ||
                          quorvel_payload_from_value(value.data(), value.size(), &scratch) == 1;
        }
    }
    quorvel_payload payload;
    int seen = 0;
    const int found = quorvel_find_authenticode_payload(der, message.size(), &payload, &seen);
    FUZZ_CHECK(found == (value_found ? 1 : 0), "a payload is found as the values say");
    FUZZ_CHECK(seen == (attribute_seen ? 1 : 0), "the attribute is seen as the visit says");
    if (found == 1) {
        quorvel_fuzz::CheckPayloadShape(payload);
        FUZZ_CHECK(quorvel_fuzz::PayloadIn(payload, der, message.size()), "from the message");
    }
    int already = 1;
    FUZZ_CHECK(
        quorvel_find_authenticode_payload(der, message.size(), &payload, &already) == found &&
            already == 1,
        "attribute seen stays 1 once set");
    return 0;
}
