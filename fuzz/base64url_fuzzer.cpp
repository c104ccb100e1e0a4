// Base64UrlDecode on arbitrary text against a model decoder, and the encode/decode round trips.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "keyclient/base64url.h"

namespace {

constexpr size_t kTextBytes = 43;

int AlphabetValue(unsigned char c) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    if (c == 0) {
        return -1;
    }
    const char* found = std::strchr(kAlphabet, c);
    return found == nullptr ? -1 : static_cast<int>(found - kAlphabet);
}

// Exactly 43 alphabet characters decode; the bits below the 256th are dropped.
std::optional<Bytes32> ModelDecode(std::string_view text) {
    if (text.size() != kTextBytes) {
        return std::nullopt;
    }
    Bytes32 value{};
    unsigned bit = 0;
    for (const char c : text) {
        const int six = AlphabetValue(static_cast<unsigned char>(c));
        if (six < 0) {
            return std::nullopt;
        }
        for (int b = 5; b >= 0; --b) {
            if (bit < 256 && ((six >> b) & 1) != 0) {
                value[bit / 8] = static_cast<uint8_t>(value[bit / 8] | (0x80U >> (bit % 8)));
            }
            ++bit;
        }
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Decoding against the model.
    Bytes32 decoded{};
    Bytes32 again{};
    const bool ok = Base64UrlDecode(text, decoded);
    FUZZ_CHECK(Base64UrlDecode(text, again) == ok, "decoding is deterministic");
    const std::optional<Bytes32> expected = ModelDecode(text);
    FUZZ_CHECK(ok == expected.has_value(), "exactly 43 alphabet characters decode");
    if (ok) {
        FUZZ_CHECK(decoded == *expected && again == decoded, "decoded bytes equal the model's");
        // encode(decode(t)) has the same 32 bytes; it differs from t at most in the two
        // dropped bits of the last character.
        const std::string encoded = Base64UrlEncode(decoded);
        FUZZ_CHECK(encoded.size() == kTextBytes, "encoding gives 43 characters");
        FUZZ_CHECK(encoded.compare(0, kTextBytes - 1, text, 0, kTextBytes - 1) == 0,
                   "re-encoding keeps the first 42 characters");
        const int last = AlphabetValue(static_cast<unsigned char>(text.back()));
        FUZZ_CHECK(AlphabetValue(static_cast<unsigned char>(encoded.back())) == (last & ~3),
                   "re-encoding clears the two dropped bits of the last character");
        Bytes32 back{};
        FUZZ_CHECK(Base64UrlDecode(encoded, back) && back == decoded,
                   "encode(decode(t)) decodes to the same 32 bytes");
    }

    // decode(encode(x)) == x for x = the input's first 32 bytes (zero-filled).
    Bytes32 value{};
    if (size > 0) {
        std::memcpy(value.data(), data, size < value.size() ? size : value.size());
    }
    const std::string encoded = Base64UrlEncode(value);
    FUZZ_CHECK(encoded == quorvel_fuzz::ModelBase64Url(value.data(), value.size()),
               "encoding equals the model's text");
    FUZZ_CHECK(encoded.size() == kTextBytes && (AlphabetValue(static_cast<unsigned char>(
                                                    encoded.back())) & 3) == 0,
               "an encoding is 43 characters whose last has its low bits clear");
    Bytes32 round{};
    FUZZ_CHECK(Base64UrlDecode(encoded, round) && round == value, "decode(encode(x)) == x");
    // The encoding followed by anything at all is not an encoding of 32 bytes.
    if (size > 0) {
        FUZZ_CHECK(!Base64UrlDecode(encoded + text.substr(0, 1), round),
                   "44 characters never decode");
    }
    FUZZ_CHECK(!Base64UrlDecode(std::string_view(encoded).substr(0, kTextBytes - 1), round),
               "42 characters never decode");
    return 0;
}
