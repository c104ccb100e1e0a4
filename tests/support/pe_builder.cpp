#include "quorvel_test/pe_builder.h"

#include <stdexcept>

namespace quorvel_test {

namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kELfanew = 0x80;
constexpr uint32_t kSectionHeaderBytes = 40;

uint64_t AlignUp(uint64_t value) {
    return (value + kFileAlignment - 1) / kFileAlignment * kFileAlignment;
}

// A byte pattern that changes with position and seed, never zero.
unsigned char PatternByte(unsigned char seed, uint64_t index) {
    return static_cast<unsigned char>((seed * 31u + index * 7u + (index >> 8)) % 251u + 1u);
}

void AppendPattern(Bytes& bytes, unsigned char seed, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) bytes.push_back(PatternByte(seed, i));
}

}  // namespace

BuiltPe PeBuilder::Build() const {
    BuiltPe out;
    PeLayout& layout = out.layout;
    const uint32_t optional_bytes = (pe32plus_ ? 112 : 96) + 16 * 8;
    const uint64_t e = layout.e = kELfanew;
    const uint64_t opt = layout.optional_header = e + 24;
    layout.checksum = opt + 64;
    layout.directory = opt + (pe32plus_ ? 144 : 128);
    const uint64_t section_table = opt + optional_bytes;
    const uint64_t size_of_headers =
        AlignUp(section_table + kSectionHeaderBytes * sections_.size());

    Bytes& image = out.bytes;
    image.assign(size_of_headers, 0);
    image[0] = 'M';
    image[1] = 'Z';
    PutLe32(image, 60, kELfanew);
    image[e] = 'P';
    image[e + 1] = 'E';
    PutLe16(image, e + 4, pe32plus_ ? 0x8664 : 0x014C);  // machine
    PutLe16(image, e + 6, static_cast<uint16_t>(sections_.size()));
    PutLe16(image, e + 20, static_cast<uint16_t>(optional_bytes));
    PutLe16(image, e + 22, pe32plus_ ? 0x0022 : 0x0102);  // characteristics
    PutLe16(image, opt, pe32plus_ ? 0x020B : 0x010B);
    PutLe32(image, opt + (pe32plus_ ? 24 : 28), 0x400000);  // image base
    PutLe32(image, opt + 32, 0x1000);                       // section alignment
    PutLe32(image, opt + 36, kFileAlignment);
    PutLe16(image, opt + 48, 6);  // subsystem version
    PutLe32(image, opt + 56, static_cast<uint32_t>(0x1000 * (sections_.size() + 1)));
    PutLe32(image, opt + 60, static_cast<uint32_t>(size_of_headers));
    PutLe32(image, layout.checksum, 0x0001F00D);
    PutLe16(image, opt + 68, 3);                       // console subsystem
    PutLe32(image, opt + (pe32plus_ ? 108 : 92), 16);  // NumberOfRvaAndSizes

    const auto place_gap_and_table = [&] {
        AppendPattern(image, 0xA7, gap_);
        if (table_.has_value()) {
            layout.table_offset = image.size();
            layout.table_size = table_->size();
            Append(image, *table_);
        }
    };
    const bool table_in_middle =
        table_.has_value() && placement_ == TablePlacement::kAfterFirstSection;
    for (size_t s = 0; s < sections_.size(); ++s) {
        const Section& section = sections_[s];
        const uint64_t header = section_table + kSectionHeaderBytes * s;
        for (size_t c = 0; c < 8 && c < section.name.size(); ++c) {
            image[header + c] = static_cast<unsigned char>(section.name[c]);
        }
        PutLe32(image, header + 8, section.raw_size);
        PutLe32(image, header + 12, static_cast<uint32_t>(0x1000 * (s + 1)));
        PutLe32(image, header + 16, static_cast<uint32_t>(AlignUp(section.raw_size)));
        PutLe32(image, header + 20, static_cast<uint32_t>(image.size()));
        PutLe32(image, header + 36, 0x40000040);
        AppendPattern(image, section.fill, AlignUp(section.raw_size));
        if (s == 0 && table_in_middle) place_gap_and_table();
    }
    if (!table_in_middle) place_gap_and_table();
    Append(image, trailing_);

    const auto [offset, size] = directory_override_.value_or(std::make_pair(
        static_cast<uint32_t>(layout.table_offset), static_cast<uint32_t>(layout.table_size)));
    PutLe32(image, layout.directory, offset);
    PutLe32(image, layout.directory + 4, size);
    return out;
}

PeLayout ReadLayout(const Bytes& image) {
    if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z')
        throw std::runtime_error("no DOS header");
    PeLayout layout;
    layout.e = GetLe32(image, 60);
    if (layout.e + 26 > image.size() || image[layout.e] != 'P' || image[layout.e + 1] != 'E') {
        throw std::runtime_error("no PE signature");
    }
    layout.optional_header = layout.e + 24;
    layout.checksum = layout.optional_header + 64;
    const uint16_t magic = GetLe16(image, layout.optional_header);
    if (magic != 0x010B && magic != 0x020B)
        throw std::runtime_error("unknown optional header magic");
    layout.directory = layout.optional_header + (magic == 0x020B ? 144 : 128);
    layout.table_size = GetLe32(image, layout.directory + 4);
    layout.table_offset = layout.table_size == 0 ? 0 : GetLe32(image, layout.directory);
    return layout;
}

// Both keep the bytes around the table and point the directory entry at the new one.
Bytes ReplaceCertificateTable(const Bytes& image, const Bytes& table) {
    const PeLayout layout = ReadLayout(image);
    const uint64_t at = layout.table_size == 0 ? image.size() : layout.table_offset;
    if (at + layout.table_size > image.size())
        throw std::runtime_error("certificate table runs past the end");
    Bytes out(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(at));
    Append(out, table);
    out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(at + layout.table_size),
               image.end());
    PutLe32(out, layout.directory, static_cast<uint32_t>(at));
    PutLe32(out, layout.directory + 4, static_cast<uint32_t>(table.size()));
    return out;
}

Bytes AppendCertificateTable(const Bytes& image, const Bytes& table) {
    if (image.size() % 8 != 0) throw std::runtime_error("image size is not a multiple of 8");
    if (ReadLayout(image).table_size != 0)
        throw std::runtime_error("image already has a certificate table");
    return ReplaceCertificateTable(image, table);
}

}  // namespace quorvel_test
