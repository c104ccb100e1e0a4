// The PKCS#7 seam (quorvel_pkcs7_visit_signer_attributes) and the attribute search on top of
// it (quorvel_find_authenticode_payload). Input: one control byte, then the message.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" {
#include "pkcs7_decoder.h"
}

namespace {

constexpr int kBerDepthLimit = 64;
constexpr size_t kStopChoices = 8;

struct Attribute {
    bool has_oid = false;
    std::string oid;
    std::vector<std::vector<unsigned char>> values;

    bool operator==(const Attribute&) const = default;
};

struct Visit {
    const std::vector<unsigned char>* message = nullptr;
    size_t stop_after = 0;  // 0: never stop
    size_t calls = 0;
    std::vector<Attribute> attributes;
};

bool IsDottedOid(const char* text) {
    const size_t length = std::strlen(text);
    if (length == 0 || text[0] == '.' || text[length - 1] == '.') {
        return false;
    }
    size_t dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '.') {
            if (text[i + 1] == '.') {
                return false;
            }
            ++dots;
        } else if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return dots >= 1;
}

int Record(void* context, const char* oid, const quorvel_der_value* values, size_t value_count) {
    auto* visit = static_cast<Visit*>(context);
    ++visit->calls;
    FUZZ_CHECK(visit->stop_after == 0 || visit->calls <= visit->stop_after,
               "no attribute is visited after the visitor asked to stop");
    Attribute attribute;
    if (oid != nullptr) {
        attribute.has_oid = true;
        attribute.oid = oid;
        FUZZ_CHECK(IsDottedOid(oid), "an object identifier is dotted decimal text");
    }
    FUZZ_CHECK(value_count == 0 || values != nullptr, "values are given when counted");
    for (size_t i = 0; i < value_count; ++i) {
        FUZZ_CHECK(values[i].bytes != nullptr && values[i].length > 0,
                   "each value is a non-empty encoding");
        // Each value is one complete element: tag, length and content, nothing after it.
        FUZZ_CHECK(quorvel_fuzz::BerElementLength(values[i].bytes, values[i].length,
                                                  kBerDepthLimit) == values[i].length,
                   "each value is exactly one complete element");
        // ... and the bytes as the message encodes them, not a re-encoding: the payload rules
        // (a 352-byte value is raw, the OCTET STRING must fill the value) read the encoding
        // that the signer wrote.
        FUZZ_CHECK(std::search(visit->message->begin(), visit->message->end(), values[i].bytes,
                               values[i].bytes + values[i].length) != visit->message->end(),
                   "each value is the encoding found in the message, byte for byte");
        attribute.values.emplace_back(values[i].bytes, values[i].bytes + values[i].length);
    }
    visit->attributes.push_back(std::move(attribute));
    return visit->stop_after != 0 && visit->calls == visit->stop_after ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t stop_after = data[0] % kStopChoices;
    std::vector<unsigned char> message(data + 1, data + size);
    const unsigned char* der = message.empty() ? nullptr : message.data();

    Visit full;
    full.message = &message;
    const int decoded = quorvel_pkcs7_visit_signer_attributes(der, message.size(), Record, &full);
    FUZZ_CHECK(decoded == 0 || decoded == 1, "the seam answers 0 or 1");
    FUZZ_CHECK(decoded == 1 || full.calls == 0, "nothing is visited when nothing was decoded");

    Visit again;
    again.message = &message;
    FUZZ_CHECK(
        quorvel_pkcs7_visit_signer_attributes(der, message.size(), Record, &again) == decoded &&
            again.attributes == full.attributes,
        "decoding is deterministic");

    if (stop_after != 0) {
        Visit stopped;
        stopped.message = &message;
        stopped.stop_after = stop_after;
        FUZZ_CHECK(
            quorvel_pkcs7_visit_signer_attributes(der, message.size(), Record, &stopped) == decoded,
            "stopping early does not change the answer");
        const size_t expected = full.calls < stop_after ? full.calls : stop_after;
        FUZZ_CHECK(stopped.calls == expected, "the visit stops where the visitor said");
        for (size_t i = 0; i < stopped.attributes.size(); ++i) {
            FUZZ_CHECK(stopped.attributes[i] == full.attributes[i],
                       "a stopped visit sees the same attributes in the same order");
        }
    }

    // The attribute search, modelled on the visited attributes.
    bool model_seen = false;
    bool model_found = false;
    quorvel_fuzz::ModelPayload expected;
    for (const Attribute& attribute : full.attributes) {
        if (model_found) {
            break;
        }
        if (!attribute.has_oid || attribute.oid != QUORVEL_PAYLOAD_OID) {
            continue;
        }
        model_seen = true;
        for (const auto& value : attribute.values) {
            if (quorvel_fuzz::ModelPayloadFromValue(value.data(), value.size(), expected)) {
                model_found = true;
                break;
            }
        }
    }

    quorvel_payload payload;
    std::memset(&payload, 0x11, sizeof payload);
    int seen = 0;
    const int found = quorvel_find_authenticode_payload(der, message.size(), &payload, &seen);
    if (der == nullptr) {
        FUZZ_CHECK(found == 0 && seen == 0, "no content: no payload, no attribute");
        return 0;
    }
    FUZZ_CHECK(found == (model_found ? 1 : 0), "a payload is found as the model says");
    FUZZ_CHECK(seen == (model_seen ? 1 : 0), "the attribute is seen as the model says");
    if (found == 1) {
        quorvel_fuzz::CheckPayloadShape(payload, &expected);
    }

    // attribute seen is never set back to 0.
    quorvel_payload scratch;
    int already = 1;
    FUZZ_CHECK(
        quorvel_find_authenticode_payload(der, message.size(), &scratch, &already) == found &&
            already == 1,
        "attribute seen stays 1 once set");
    return 0;
}
