/* Unwrapping a Quorvel attribute value: raw, OCTET STRING or wrapped in a constructed element. */
#include <stdint.h>

#include "quorvel_internal.h"

#define DER_TAG_OCTET_STRING 0x04U
#define DER_CONSTRUCTED 0x20U
#define DER_LONG_FORM 0x80U
#define DER_MAX_LENGTH_BYTES 8U
/* Largest accumulated length that can take one more byte without overflowing 64 bits. */
#define DER_LENGTH_SHIFT_LIMIT UINT64_C(0x00FFFFFFFFFFFFFF)

int quorvel_der_read_header(const unsigned char* bytes, uint64_t available, unsigned* tag,
                            uint64_t* content_length, uint64_t* header_size) {
    if (bytes == NULL || available < 2) {
        return 0;
    }
    const unsigned length_byte = bytes[1];
    uint64_t length;
    uint64_t header;
    if (length_byte < DER_LONG_FORM) {
        length = length_byte;
        header = 2;
    } else {
        const unsigned count = length_byte & 0x7FU;
        if (count < 1 || count > DER_MAX_LENGTH_BYTES || 2 + (uint64_t)count > available) {
            return 0;
        }
        length = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (length > DER_LENGTH_SHIFT_LIMIT) {
                return 0;
            }
            length = (length << 8) | bytes[2 + i];
        }
        header = 2 + (uint64_t)count;
    }
    if (length > available - header) {
        return 0;
    }
    *tag = bytes[0];
    *content_length = length;
    *header_size = header;
    return 1;
}

int quorvel_payload_from_value(const unsigned char* value, size_t length,
                               quorvel_payload* payload) {
    if (value == NULL || payload == NULL) {
        return 0;
    }
    if (length == QUORVEL_PAYLOAD_BYTES) {
        return quorvel_parse_payload(value, length, payload);
    }
    unsigned tag = 0;
    uint64_t content_length = 0;
    uint64_t header_size = 0;
    if (!quorvel_der_read_header(value, length, &tag, &content_length, &header_size)) {
        return 0;
    }
    if (tag == DER_TAG_OCTET_STRING) {
        if (content_length != QUORVEL_PAYLOAD_BYTES ||
            header_size + QUORVEL_PAYLOAD_BYTES != (uint64_t)length) {
            return 0;
        }
        return quorvel_parse_payload(value + header_size, QUORVEL_PAYLOAD_BYTES, payload);
    }
    if ((tag & DER_CONSTRUCTED) == 0 || content_length < 2) {
        return 0;
    }
    const unsigned char* content = value + header_size;
    unsigned inner_tag = 0;
    uint64_t inner_length = 0;
    uint64_t inner_header = 0;
    if (!quorvel_der_read_header(content, content_length, &inner_tag, &inner_length,
                                 &inner_header)) {
        return 0;
    }
    if (inner_tag != DER_TAG_OCTET_STRING || inner_length != QUORVEL_PAYLOAD_BYTES ||
        inner_header + QUORVEL_PAYLOAD_BYTES > content_length) {
        return 0;
    }
    return quorvel_parse_payload(content + inner_header, QUORVEL_PAYLOAD_BYTES, payload);
}
