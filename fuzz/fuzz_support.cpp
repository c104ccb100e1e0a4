#include "fuzz_support.h"

#include <cstdio>
#include <cstring>

#include "quorvel_test/signing.h"

namespace quorvel_fuzz {

namespace {

constexpr uint64_t kAlignment = 8;
constexpr uint32_t kQuorvelRevision = 0x0300;
constexpr uint32_t kQuorvelType = 0x0010;
constexpr uint32_t kAuthenticodeRevision = 0x0200;
constexpr uint32_t kAuthenticodeType = 0x0002;
constexpr uint64_t kQuorvelContentBytes = 364;   // magic, version, length, payload
constexpr uint64_t kQuorvelMinimumContent = 12;  // magic, version, length
constexpr size_t kDomainOffset = 96;
constexpr size_t kDomainField = 256;

uint32_t Le16(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

uint32_t Le32(const unsigned char* p) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | p[i];
    }
    return value;
}

uint64_t RoundUp8(uint64_t value) { return (value + kAlignment - 1) / kAlignment * kAlignment; }

}  // namespace

void PropertyViolated(const char* what, const char* condition, const char* file, int line) {
    std::fprintf(stderr, "\n*** property violated: %s\n    (%s) at %s:%d\n", what, condition, file,
                 line);
    std::fflush(stderr);
    __builtin_trap();
}

bool ReadDerHeader(const unsigned char* bytes, uint64_t available, DerHeader& header) {
    if (bytes == nullptr || available < 2) {
        return false;
    }
    uint64_t length = 0;
    uint64_t size = 0;
    if (bytes[1] < 0x80) {
        length = bytes[1];
        size = 2;
    } else {
        const uint64_t count = bytes[1] & 0x7FU;
        if (count == 0 || count > 8 || count + 2 > available) {
            return false;
        }
        for (uint64_t i = 0; i < count; ++i) {
            length = length * 256 + bytes[2 + i];  // at most 8 bytes: no overflow
        }
        size = 2 + count;
    }
    if (length > available - size) {
        return false;
    }
    header.tag = bytes[0];
    header.content_length = length;
    header.header_size = size;
    return true;
}

uint64_t BerElementLength(const unsigned char* bytes, uint64_t available, int depth_limit) {
    constexpr uint64_t kMaxTagBytes = 10;
    if (depth_limit < 0 || available < 2) {
        return 0;
    }
    uint64_t pos = 0;
    const unsigned identifier = bytes[pos++];
    const bool constructed = (identifier & 0x20U) != 0;
    if ((identifier & 0x1FU) == 0x1FU) {
        unsigned next = 0;
        do {
            if (pos >= available || pos > kMaxTagBytes) {
                return 0;
            }
            next = bytes[pos++];
        } while ((next & 0x80U) != 0);
    }
    if (pos >= available) {
        return 0;
    }
    const unsigned length_byte = bytes[pos++];
    if (length_byte == 0x80) {
        if (!constructed) {
            return 0;
        }
        while (true) {
            if (available - pos >= 2 && bytes[pos] == 0 && bytes[pos + 1] == 0) {
                return pos + 2;
            }
            const uint64_t inner = BerElementLength(bytes + pos, available - pos, depth_limit - 1);
            if (inner == 0) {
                return 0;
            }
            pos += inner;
        }
    }
    uint64_t length = 0;
    if (length_byte < 0x80) {
        length = length_byte;
    } else {
        const uint64_t count = length_byte & 0x7FU;
        if (count > 8 || available - pos < count) {
            return 0;
        }
        for (uint64_t i = 0; i < count; ++i) {
            length = length * 256 + bytes[pos++];
        }
    }
    if (length > available - pos) {
        return 0;
    }
    return pos + length;
}

bool ModelParsePayload(const unsigned char* bytes, size_t length, ModelPayload& payload) {
    if (bytes == nullptr || length != QUORVEL_PAYLOAD_BYTES) {
        return false;
    }
    const unsigned char* domain = bytes + kDomainOffset;
    size_t terminator = kDomainField;
    for (size_t i = 0; i < kDomainField; ++i) {
        if (domain[i] == 0) {
            terminator = i;
            break;
        }
    }
    if (terminator == kDomainField || !quorvel_utf8_valid(domain, terminator)) {
        return false;
    }
    for (size_t i = terminator; i < kDomainField; ++i) {
        if (domain[i] != 0) {
            return false;
        }
    }
    std::memcpy(payload.bytes.data(), bytes, QUORVEL_PAYLOAD_BYTES);
    payload.domain_length = terminator;
    return true;
}

bool ModelPayloadFromValue(const unsigned char* value, size_t length, ModelPayload& payload) {
    if (value == nullptr) {
        return false;
    }
    if (length == QUORVEL_PAYLOAD_BYTES) {
        return ModelParsePayload(value, length, payload);
    }
    DerHeader outer;
    if (!ReadDerHeader(value, length, outer)) {
        return false;
    }
    const unsigned char* content = value + outer.header_size;
    if (outer.tag == 0x04) {
        if (outer.content_length != QUORVEL_PAYLOAD_BYTES ||
            outer.header_size + QUORVEL_PAYLOAD_BYTES != length) {
            return false;
        }
        return ModelParsePayload(content, QUORVEL_PAYLOAD_BYTES, payload);
    }
    if ((outer.tag & 0x20U) == 0 || outer.content_length < 2) {
        return false;
    }
    DerHeader inner;
    if (!ReadDerHeader(content, outer.content_length, inner)) {
        return false;
    }
    if (inner.tag != 0x04 || inner.content_length != QUORVEL_PAYLOAD_BYTES ||
        inner.header_size + QUORVEL_PAYLOAD_BYTES > outer.content_length) {
        return false;
    }
    return ModelParsePayload(content + inner.header_size, QUORVEL_PAYLOAD_BYTES, payload);
}

std::array<unsigned char, QUORVEL_PAYLOAD_BYTES> PayloadBytes(const quorvel_payload& payload) {
    static_assert(sizeof payload.signature + sizeof payload.key_id + sizeof payload.domain ==
                      QUORVEL_PAYLOAD_BYTES,
                  "a payload is 352 bytes of fields");
    std::array<unsigned char, QUORVEL_PAYLOAD_BYTES> bytes{};
    std::memcpy(bytes.data(), payload.signature, sizeof payload.signature);
    std::memcpy(bytes.data() + sizeof payload.signature, payload.key_id, sizeof payload.key_id);
    std::memcpy(bytes.data() + kDomainOffset, payload.domain, sizeof payload.domain);
    return bytes;
}

void CheckPayloadShape(const quorvel_payload& payload, const ModelPayload* model) {
    FUZZ_CHECK(payload.domain_length < kDomainField, "domain length is at most 255");
    const auto length = static_cast<size_t>(payload.domain_length);
    const auto* domain = reinterpret_cast<const unsigned char*>(payload.domain);
    FUZZ_CHECK(domain[length] == 0, "the domain is NUL-terminated at domain_length");
    for (size_t i = 0; i < length; ++i) {
        FUZZ_CHECK(domain[i] != 0, "no zero byte inside the domain text");
    }
    for (size_t i = length; i < kDomainField; ++i) {
        FUZZ_CHECK(domain[i] == 0, "the domain field is zero after the NUL");
    }
    FUZZ_CHECK(quorvel_utf8_valid(domain, length), "the domain is well-formed UTF-8");
    if (model != nullptr) {
        FUZZ_CHECK(PayloadBytes(payload) == model->bytes, "payload bytes equal the model's");
        FUZZ_CHECK(payload.domain_length == model->domain_length,
                   "domain length equals the model's");
    }
}

PeModel ModelLocate(const unsigned char* image, size_t size) {
    PeModel pe;
    const uint64_t n = size;
    if (image == nullptr || n < QUORVEL_PE_MIN_IMAGE_BYTES) {
        return pe;
    }
    if (image[0] != 'M' || image[1] != 'Z') {
        return pe;
    }
    const uint64_t e = Le32(image + 60);
    if (e + 24 > n) {
        return pe;
    }
    if (image[e] != 'P' || image[e + 1] != 'E' || image[e + 2] != 0 || image[e + 3] != 0) {
        return pe;
    }
    const uint64_t optional_header = e + 24;
    if (optional_header + 2 > n) {
        return pe;
    }
    const uint32_t magic = Le16(image + optional_header);
    uint64_t directory = 0;
    if (magic == 0x010B) {
        directory = optional_header + 128;
    } else if (magic == 0x020B) {
        directory = optional_header + 144;
    } else {
        return pe;
    }
    if (directory + 8 > n) {
        return pe;
    }
    const uint64_t offset = Le32(image + directory);
    const uint64_t table = Le32(image + directory + 4);
    if (table != 0 && (offset + table > n || offset < directory + 8)) {
        return pe;
    }
    pe.ok = true;
    pe.checksum = optional_header + 64;
    pe.directory = directory;
    pe.table_offset = offset;
    pe.table_size = table;
    return pe;
}

Digest ModelImageDigest(const unsigned char* image, size_t size, const PeModel& pe) {
    std::vector<bool> excluded(size, false);
    auto mark = [&excluded](uint64_t begin, uint64_t count) {
        for (uint64_t i = begin; i < begin + count; ++i) {
            excluded[static_cast<size_t>(i)] = true;
        }
    };
    mark(pe.checksum, 4);
    mark(pe.directory, 8);
    if (pe.table_size > 0) {
        mark(pe.table_offset, pe.table_size);
    }
    std::vector<unsigned char> hashed;
    hashed.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        if (!excluded[i]) {
            hashed.push_back(image[i]);
        }
    }
    return quorvel_test::Sha256(hashed.data(), hashed.size());
}

int ModelFindPayload(const unsigned char* image, size_t size, ModelPayload& payload) {
    const PeModel pe = ModelLocate(image, size);
    if (!pe.ok) {
        return QUORVEL_ERR_NOT_PE;
    }
    if (pe.table_size == 0) {
        return QUORVEL_ERR_NO_SIGNATURE;
    }
    if (pe.table_offset % kAlignment != 0 || pe.table_size % kAlignment != 0) {
        return QUORVEL_ERR_INVALID_PAYLOAD;
    }
    static const unsigned char kMagic[8] = {'Q', 'U', 'O', 'R', 'V', 'E', 'L', 0};
    bool found = false;
    int attribute_seen = 0;
    const uint64_t end = pe.table_offset + pe.table_size;
    uint64_t p = pe.table_offset;
    while (p < end) {
        const uint64_t remaining = end - p;
        if (remaining < 8) {
            return QUORVEL_ERR_INVALID_PAYLOAD;
        }
        const unsigned char* entry = image + p;
        const uint64_t length = Le32(entry);
        if (length < 8 || length > remaining || RoundUp8(length) > remaining) {
            return QUORVEL_ERR_INVALID_PAYLOAD;
        }
        const uint32_t revision = Le16(entry + 4);
        const uint32_t type = Le16(entry + 6);
        const uint64_t content = length - 8;
        if (revision == kQuorvelRevision) {
            const bool ours = type == kQuorvelType && content >= kQuorvelMinimumContent &&
                              std::memcmp(entry + 8, kMagic, sizeof kMagic) == 0 &&
                              Le16(entry + 16) == 1;
            if (ours) {
                if (Le16(entry + 18) != QUORVEL_PAYLOAD_BYTES || content != kQuorvelContentBytes) {
                    return QUORVEL_ERR_INVALID_PAYLOAD;
                }
                if (found) {
                    return QUORVEL_ERR_INVALID_PAYLOAD;
                }
                ModelPayload candidate;
                if (!ModelParsePayload(entry + 20, QUORVEL_PAYLOAD_BYTES, candidate)) {
                    return QUORVEL_ERR_INVALID_PAYLOAD;
                }
                found = true;
                payload = candidate;
            }
        } else if (revision == kAuthenticodeRevision && type == kAuthenticodeType) {
            quorvel_payload scratch;
            std::memset(&scratch, 0, sizeof scratch);
            if (quorvel_find_authenticode_payload(entry + 8, static_cast<size_t>(content), &scratch,
                                                  &attribute_seen)) {
                CheckPayloadShape(scratch, nullptr);
                if (found) {
                    return QUORVEL_ERR_INVALID_PAYLOAD;
                }
                found = true;
                payload.bytes = PayloadBytes(scratch);
                payload.domain_length = scratch.domain_length;
            }
        }
        p += RoundUp8(length);
    }
    if (found) {
        return QUORVEL_OK;
    }
    return attribute_seen != 0 ? QUORVEL_ERR_INVALID_PAYLOAD : QUORVEL_ERR_NO_SIGNATURE;
}

}  // namespace quorvel_fuzz
