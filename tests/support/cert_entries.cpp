#include "quorvel_test/cert_entries.h"

#include <stdexcept>

#include "quorvel_test/pe_builder.h"

namespace quorvel_test {

namespace {

void PadTo8(Bytes& bytes) {
    while (bytes.size() % 8 != 0) {
        bytes.push_back(0);
    }
}

}  // namespace

Bytes MakePayloadWithDomainField(const Signature& signature, const KeyId& key_id,
                                 const Bytes& domain_field) {
    if (domain_field.size() != kDomainFieldBytes) {
        throw std::invalid_argument("domain field must be 256 bytes");
    }
    Bytes payload(signature.begin(), signature.end());
    payload.insert(payload.end(), key_id.begin(), key_id.end());
    Append(payload, domain_field);
    return payload;
}

Bytes MakePayload(const Signature& signature, const KeyId& key_id, std::string_view domain) {
    Bytes field(kDomainFieldBytes, 0);
    for (size_t i = 0; i < domain.size() && i < kDomainFieldBytes; ++i) {
        field[i] = static_cast<unsigned char>(domain[i]);
    }
    return MakePayloadWithDomainField(signature, key_id, field);
}

Signature PatternSignature(unsigned char seed) {
    Signature signature{};
    for (size_t i = 0; i < signature.size(); ++i) {
        signature[i] = static_cast<unsigned char>(seed + 3 * i + 1);
    }
    return signature;
}

KeyId PatternKeyId(unsigned char seed) {
    KeyId key_id{};
    for (size_t i = 0; i < key_id.size(); ++i) {
        key_id[i] = static_cast<unsigned char>(seed * 5 + 7 * i + 2);
    }
    return key_id;
}

Bytes MakeQuorvelEntry(const Bytes& payload, const QuorvelEntryFields& fields) {
    Bytes entry(20, 0);
    PutLe32(entry, 0, fields.length);
    PutLe16(entry, 4, fields.revision);
    PutLe16(entry, 6, fields.type);
    for (size_t i = 0; i < 8; ++i) {
        entry[8 + i] = fields.magic[i];
    }
    PutLe16(entry, 16, fields.container_version);
    PutLe16(entry, 18, fields.payload_length);
    Append(entry, payload);
    PadTo8(entry);
    return entry;
}

Bytes MakeWinCertificate(uint16_t revision, uint16_t type, const Bytes& content,
                         std::optional<uint32_t> length) {
    Bytes entry(8, 0);
    PutLe32(entry, 0, length.value_or(static_cast<uint32_t>(8 + content.size())));
    PutLe16(entry, 4, revision);
    PutLe16(entry, 6, type);
    Append(entry, content);
    PadTo8(entry);
    return entry;
}

Bytes MakeAuthenticodeEntry(const Bytes& pkcs7_der) {
    return MakeWinCertificate(0x0200, 0x0002, pkcs7_der);
}

std::vector<CertificateEntry> SplitCertificateTable(const Bytes& image) {
    const PeLayout layout = ReadLayout(image);
    std::vector<CertificateEntry> entries;
    uint64_t p = layout.table_offset;
    const uint64_t end = layout.table_offset + layout.table_size;
    if (end > image.size()) {
        throw std::runtime_error("certificate table runs past the end of the file");
    }
    while (p < end) {
        if (end - p < 8) {
            throw std::runtime_error("truncated certificate entry");
        }
        CertificateEntry entry;
        entry.offset = p;
        entry.length = GetLe32(image, p);
        entry.revision = GetLe16(image, p + 4);
        entry.type = GetLe16(image, p + 6);
        if (entry.length < 8 || entry.length > end - p) {
            throw std::runtime_error("bad certificate entry length");
        }
        entry.content.assign(image.begin() + static_cast<std::ptrdiff_t>(p + 8),
                             image.begin() + static_cast<std::ptrdiff_t>(p + entry.length));
        entries.push_back(std::move(entry));
        p += (uint64_t{entries.back().length} + 7) / 8 * 8;
    }
    return entries;
}

}  // namespace quorvel_test
