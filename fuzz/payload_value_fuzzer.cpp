// quorvel_payload_from_value and quorvel_der_read_header on arbitrary attribute values,
// compared with the model's unwrapping.
#include <cstring>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> value(data, data + size);
    const unsigned char* bytes = value.empty() ? nullptr : value.data();

    quorvel_fuzz::DerHeader expected_header;
    const bool header_ok = quorvel_fuzz::ReadDerHeader(bytes, size, expected_header);
    unsigned tag = 0;
    uint64_t content_length = 0;
    uint64_t header_size = 0;
    const int read = quorvel_der_read_header(bytes, size, &tag, &content_length, &header_size);
    FUZZ_CHECK(read == (header_ok ? 1 : 0), "header reader answers as the model does");
    if (header_ok) {
        FUZZ_CHECK(tag == expected_header.tag && content_length == expected_header.content_length &&
                       header_size == expected_header.header_size,
                   "header fields equal the model's");
        FUZZ_CHECK(header_size + content_length <= size, "the content fits in the value");
    }

    quorvel_fuzz::ModelPayload expected;
    const bool model_accepts = quorvel_fuzz::ModelPayloadFromValue(bytes, size, expected);
    quorvel_payload first;
    quorvel_payload second;
    std::memset(&first, 0x33, sizeof first);
    std::memset(&second, 0xCC, sizeof second);
    const int accepted = quorvel_payload_from_value(bytes, size, &first);
    const int again = quorvel_payload_from_value(bytes, size, &second);
    FUZZ_CHECK(accepted == 0 || accepted == 1, "a yes/no answer is 0 or 1");
    FUZZ_CHECK(accepted == again, "unwrapping is deterministic");
    FUZZ_CHECK(accepted == (model_accepts ? 1 : 0), "the value is accepted as the model says");
    if (accepted == 1) {
        quorvel_fuzz::CheckPayloadShape(first, &expected);
        quorvel_fuzz::CheckPayloadShape(second, &expected);
    }

    // The 352-byte parse on its own, on the first 352 bytes when there are enough.
    if (size >= QUORVEL_PAYLOAD_BYTES) {
        quorvel_fuzz::ModelPayload parsed;
        const bool model_parses =
            quorvel_fuzz::ModelParsePayload(bytes, QUORVEL_PAYLOAD_BYTES, parsed);
        quorvel_payload payload;
        std::memset(&payload, 0x77, sizeof payload);
        const int parses = quorvel_parse_payload(bytes, QUORVEL_PAYLOAD_BYTES, &payload);
        FUZZ_CHECK(parses == (model_parses ? 1 : 0), "the payload parses as the model says");
        if (parses == 1) {
            quorvel_fuzz::CheckPayloadShape(payload, &parsed);
        }
        // Any other length is refused.
        FUZZ_CHECK(quorvel_parse_payload(bytes, QUORVEL_PAYLOAD_BYTES - 1, &payload) == 0,
                   "351 bytes are not a payload");
        if (size > QUORVEL_PAYLOAD_BYTES) {
            FUZZ_CHECK(quorvel_parse_payload(bytes, QUORVEL_PAYLOAD_BYTES + 1, &payload) == 0,
                       "353 bytes are not a payload");
        }
    }

    // The library's UTF-8 rule against the model's on the whole input.
    FUZZ_CHECK(
        quorvel_utf8_valid(bytes == nullptr ? reinterpret_cast<const unsigned char*>("") : bytes,
                           size) == (size == 0 || quorvel_utf8_valid(bytes, size) ? 1 : 0),
        "UTF-8 validity agrees with the model");
    return 0;
}
