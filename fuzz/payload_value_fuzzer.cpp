// quorvel_payload_from_value, quorvel_parse_payload and quorvel_der_read_header on arbitrary
// attribute values.
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> value(data, data + size);
    const unsigned char* bytes = value.empty() ? nullptr : value.data();

    unsigned tag = 0;
    uint64_t content = 0;
    uint64_t header = 0;
    const int read = quorvel_der_read_header(bytes, size, &tag, &content, &header);
    FUZZ_CHECK(read == 0 || read == 1, "the header reader answers 0 or 1");
    FUZZ_CHECK(
        read == 0 || (header >= 2 && header <= 10 && tag == bytes[0] && content <= size - header),
        "a header of 2 to 10 bytes, with its content inside the value");

    quorvel_payload payload;
    std::memset(&payload, 0x33, sizeof payload);
    const int accepted = quorvel_payload_from_value(bytes, size, &payload);
    FUZZ_CHECK(accepted == 0 || accepted == 1, "a yes/no answer is 0 or 1");
    if (accepted == 1) {
        quorvel_fuzz::CheckPayloadShape(payload);
        FUZZ_CHECK(quorvel_fuzz::PayloadIn(payload, bytes, size), "the payload is in the value");
        FUZZ_CHECK(size == QUORVEL_PAYLOAD_BYTES || read == 1, "a wrapped value has a header");
    }
    if (size < QUORVEL_PAYLOAD_BYTES) return 0;
    // The 352-byte parse on its own: a raw value is accepted exactly when it parses.
    const int parses = quorvel_parse_payload(bytes, QUORVEL_PAYLOAD_BYTES, &payload);
    FUZZ_CHECK(size != QUORVEL_PAYLOAD_BYTES || parses == accepted, "raw value: parsed or not");
    if (parses == 1) {
        quorvel_fuzz::CheckPayloadShape(payload);
        FUZZ_CHECK(quorvel_fuzz::PayloadIn(payload, bytes, QUORVEL_PAYLOAD_BYTES),
                   "the record holds the parsed bytes");
    }
    FUZZ_CHECK(quorvel_parse_payload(bytes, QUORVEL_PAYLOAD_BYTES - 1, &payload) == 0,
               "351 bytes are not a payload");
    FUZZ_CHECK(size == QUORVEL_PAYLOAD_BYTES ||
                   quorvel_parse_payload(bytes, QUORVEL_PAYLOAD_BYTES + 1, &payload) == 0,
               "353 bytes are not a payload");
    return 0;
}
