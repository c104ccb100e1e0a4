#include "quorvel_test/cert_entries.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "quorvel_test/pe_builder.h"

namespace quorvel_test {

Bytes MakePayload(const Signature& signature, const KeyId& key_id, std::string_view domain) {
    Bytes payload(signature.begin(), signature.end());
    payload.insert(payload.end(), key_id.begin(), key_id.end());
    payload.insert(
        payload.end(), domain.begin(),
        domain.begin() + static_cast<std::ptrdiff_t>(std::min(domain.size(), kDomainFieldBytes)));
    payload.resize(kPayloadBytes);
    return payload;
}

Signature PatternSignature(unsigned char seed) {
    Signature signature{};
    for (size_t i = 0; i < signature.size(); ++i)
        signature[i] = static_cast<unsigned char>(seed + 3 * i + 1);
    return signature;
}

KeyId PatternKeyId(unsigned char seed) {
    KeyId key_id{};
    for (size_t i = 0; i < key_id.size(); ++i)
        key_id[i] = static_cast<unsigned char>(seed * 5 + 7 * i + 2);
    return key_id;
}

Bytes MakeWinCertificate(uint16_t revision, uint16_t type, const Bytes& content,
                         std::optional<uint32_t> length) {
    Bytes entry(8, 0);
    PutLe32(entry, 0, length.value_or(static_cast<uint32_t>(8 + content.size())));
    PutLe16(entry, 4, revision);
    PutLe16(entry, 6, type);
    Append(entry, content);
    entry.resize((entry.size() + 7) / 8 * 8);
    return entry;
}

Bytes MakeQuorvelEntry(const Bytes& payload, const QuorvelEntryFields& fields) {
    Bytes header(fields.magic.begin(), fields.magic.end());
    header.resize(12);
    PutLe16(header, 8, fields.container_version);
    PutLe16(header, 10, fields.payload_length);
    return MakeWinCertificate(fields.revision, fields.type, Concat({header, payload}),
                              fields.length);
}

std::vector<CertificateEntry> SplitCertificateTable(const Bytes& image) {
    const PeLayout layout = ReadLayout(image);
    const uint64_t end = layout.table_offset + layout.table_size;
    if (end > image.size())
        throw std::runtime_error("certificate table runs past the end of the file");
    std::vector<CertificateEntry> entries;
    for (uint64_t p = layout.table_offset; p < end;
         p += (uint64_t{entries.back().length} + 7) / 8 * 8) {
        const uint32_t length = end - p < 8 ? 0 : GetLe32(image, p);
        if (length < 8 || length > end - p)
            throw std::runtime_error("bad certificate entry at " + std::to_string(p));
        entries.push_back({p, length, GetLe16(image, p + 4), GetLe16(image, p + 6),
                           Bytes(image.begin() + static_cast<std::ptrdiff_t>(p + 8),
                                 image.begin() + static_cast<std::ptrdiff_t>(p + length))});
    }
    return entries;
}

}  // namespace quorvel_test
