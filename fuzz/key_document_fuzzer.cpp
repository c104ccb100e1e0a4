// ParseKeyDocument. Input: the expected key id text (the first 43 bytes, or all of a shorter
// input), then the body.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "keyclient/key_document.h"

namespace {

constexpr size_t kKeyIdTextBytes = 43;

constexpr std::array<std::string_view, 10> kMessages = {
    "invalid JSON",          "missing jwk object",   "missing JWK fields",
    "unexpected key type",   "kid mismatch",         "invalid public key encoding",
    "missing status object", "missing status state", "invalid status state",
    "invalid description",
};

const std::string kErrorSentinel = "untouched error";
const std::u16string kStateSentinel = u"untouched state";
const std::u16string kDescriptionSentinel = u"untouched description";

struct Parsed {
    bool ok = false;
    Bytes32 key{};
    std::u16string state = kStateSentinel, description = kDescriptionSentinel;
    std::string error = kErrorSentinel;
    bool operator==(const Parsed&) const = default;
};

Parsed Parse(std::string_view body, std::string_view expected) {
    Parsed p;
    p.ok = ParseKeyDocument(body, expected, p.key, &p.state, &p.description, &p.error);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t id_bytes = std::min(size, kKeyIdTextBytes);
    // Owned copies, so that a read past either end is seen.
    const std::string expected(reinterpret_cast<const char*>(data), id_bytes);
    const std::string body(reinterpret_cast<const char*>(data) + id_bytes, size - id_bytes);

    const Parsed first = Parse(body, expected);
    const Parsed second = Parse(body, expected);
    FUZZ_CHECK(first == second, "parsing is deterministic, outputs included");

    if (first.ok) {
        FUZZ_CHECK(first.error == kErrorSentinel, "success leaves the error output untouched");
        FUZZ_CHECK(first.state == u"active" || first.state == u"revoked",
                   "success reports one of the two states");
        if (first.description != kDescriptionSentinel) {
            FUZZ_CHECK(first.description.find(u'\0') == std::u16string::npos,
                       "the description ends at the value's first NUL");
        }
        // The key decodes from x, so its text form round-trips.
        Bytes32 back{};
        FUZZ_CHECK(Base64UrlDecode(Base64UrlEncode(first.key), back) && back == first.key,
                   "the decoded key round-trips through base64url");
        // A document accepted for one key id is refused for another, as a kid mismatch.
        const Parsed other = Parse(body, expected + "=");
        FUZZ_CHECK(!other.ok && other.error == "kid mismatch", "another key id: kid mismatch");
    } else {
        FUZZ_CHECK(std::find(kMessages.begin(), kMessages.end(), first.error) != kMessages.end(),
                   "failure sets one of the documented messages");
        FUZZ_CHECK(first.description == kDescriptionSentinel,
                   "failure never writes the description");
        if (first.state != kStateSentinel) {
            FUZZ_CHECK(first.error == "invalid description",
                       "the state is written only before the description check fails");
            FUZZ_CHECK(first.state == u"active" || first.state == u"revoked",
                       "a written state is one of the two words");
        }
    }

    return 0;
}
