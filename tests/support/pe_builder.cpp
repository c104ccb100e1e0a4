#include "quorvel_test/pe_builder.h"

#include <stdexcept>

namespace quorvel_test {

namespace {

constexpr uint32_t kPe32OptionalBytes = 96 + 16 * 8;
constexpr uint32_t kPe32PlusOptionalBytes = 112 + 16 * 8;
constexpr uint32_t kSectionHeaderBytes = 40;
constexpr uint32_t kSecurityDirectoryIndex = 4;

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// A byte pattern that changes with position and seed, never all zero.
unsigned char PatternByte(unsigned char seed, uint64_t index) {
    return static_cast<unsigned char>((seed * 31u + index * 7u + (index >> 8)) % 251u + 1u);
}

void PutLe64(Bytes& bytes, uint64_t pos, uint64_t value) {
    PutLe32(bytes, pos, static_cast<uint32_t>(value & 0xFFFFFFFFu));
    PutLe32(bytes, pos + 4, static_cast<uint32_t>(value >> 32));
}

}  // namespace

PeBuilder::PeBuilder(bool pe32plus)
    : pe32plus_(pe32plus), magic_(pe32plus ? uint16_t{0x020B} : uint16_t{0x010B}) {}

PeBuilder& PeBuilder::AddSection(const std::string& name, uint32_t raw_size, unsigned char fill) {
    sections_.push_back({name, raw_size, fill});
    return *this;
}

PeBuilder& PeBuilder::SetGap(uint32_t bytes) {
    gap_ = bytes;
    return *this;
}

PeBuilder& PeBuilder::SetCertificateTable(const Bytes& table, TablePlacement placement) {
    table_ = table;
    placement_ = placement;
    return *this;
}

PeBuilder& PeBuilder::SetTrailing(const Bytes& bytes) {
    trailing_ = bytes;
    return *this;
}

PeBuilder& PeBuilder::OverrideDirectory(uint32_t offset, uint32_t size) {
    directory_override_ = std::make_pair(offset, size);
    return *this;
}

BuiltPe PeBuilder::Build() const {
    BuiltPe out;
    PeLayout& layout = out.layout;
    const uint32_t optional_bytes = pe32plus_ ? kPe32PlusOptionalBytes : kPe32OptionalBytes;
    const uint64_t e = e_lfanew_;
    layout.e = e;
    layout.optional_header = e + 24;
    layout.checksum = layout.optional_header + 64;
    layout.directory = layout.optional_header + (pe32plus_ ? 144 : 128);
    const uint64_t section_table = layout.optional_header + optional_bytes;
    const uint64_t headers_end = section_table + kSectionHeaderBytes * sections_.size();
    const uint64_t size_of_headers = AlignUp(headers_end, kFileAlignment);

    Bytes& image = out.bytes;
    image.assign(size_of_headers, 0);
    image[0] = 'M';
    image[1] = 'Z';
    PutLe16(image, 2, 0x0090);  // bytes on the last page, as linkers write it
    for (uint64_t i = 64; i < e && i < image.size(); ++i) {
        image[i] = PatternByte(0x5A, i);  // DOS stub area
    }
    PutLe32(image, 60, e_lfanew_);

    image[e] = 'P';
    image[e + 1] = 'E';
    const uint64_t coff = e + 4;
    PutLe16(image, coff, pe32plus_ ? 0x8664 : 0x014C);
    PutLe16(image, coff + 2, static_cast<uint16_t>(sections_.size()));
    PutLe32(image, coff + 4, 0x5F000000);  // time stamp
    PutLe16(image, coff + 16, static_cast<uint16_t>(optional_bytes));
    PutLe16(image, coff + 18, pe32plus_ ? 0x0022 : 0x0102);

    const uint64_t opt = layout.optional_header;
    PutLe16(image, opt, magic_);
    image[opt + 2] = 14;               // linker version
    PutLe32(image, opt + 16, 0x1000);  // entry point
    PutLe32(image, opt + 20, 0x1000);  // base of code
    if (pe32plus_) {
        PutLe64(image, opt + 24, 0x140000000ULL);
    } else {
        PutLe32(image, opt + 24, 0x2000);  // base of data
        PutLe32(image, opt + 28, 0x400000);
    }
    PutLe32(image, opt + 32, 0x1000);  // section alignment
    PutLe32(image, opt + 36, kFileAlignment);
    PutLe16(image, opt + 40, 6);  // operating system version
    PutLe16(image, opt + 48, 6);  // subsystem version
    PutLe32(image, opt + 56, static_cast<uint32_t>(0x1000 * (sections_.size() + 1)));
    PutLe32(image, opt + 60, static_cast<uint32_t>(size_of_headers));
    PutLe32(image, layout.checksum, checksum_);
    PutLe16(image, opt + 68, 3);  // console subsystem
    const uint64_t rva_count = opt + (pe32plus_ ? 108 : 92);
    PutLe32(image, rva_count, 16);
    // A few other directory entries with recognisable values; they are not consulted.
    const uint64_t directories = opt + (pe32plus_ ? 112 : 96);
    for (uint32_t i = 0; i < 16; ++i) {
        if (i != kSecurityDirectoryIndex && i < 6) {
            PutLe32(image, directories + 8 * i, 0x1000 + 0x10 * i);
            PutLe32(image, directories + 8 * i + 4, 0x10);
        }
    }

    // Section data, with the table possibly between the first and the second section.
    uint64_t cursor = size_of_headers;
    const bool table_in_middle =
        table_.has_value() && placement_ == TablePlacement::kAfterFirstSection;
    auto place_gap_and_table = [&]() {
        layout.gap_offset = image.size();
        layout.gap_size = gap_;
        for (uint32_t i = 0; i < gap_; ++i) {
            image.push_back(PatternByte(0xA7, i));
        }
        if (table_.has_value()) {
            layout.table_offset = image.size();
            layout.table_size = table_->size();
            Append(image, *table_);
        }
    };
    for (size_t s = 0; s < sections_.size(); ++s) {
        const Section& section = sections_[s];
        const uint64_t raw = AlignUp(section.raw_size, kFileAlignment);
        cursor = image.size();
        layout.section_offsets.push_back(cursor);
        for (uint64_t i = 0; i < raw; ++i) {
            image.push_back(PatternByte(section.fill, i));
        }
        const uint64_t header = section_table + kSectionHeaderBytes * s;
        for (size_t c = 0; c < 8 && c < section.name.size(); ++c) {
            image[header + c] = static_cast<unsigned char>(section.name[c]);
        }
        PutLe32(image, header + 8, section.raw_size);
        PutLe32(image, header + 12, static_cast<uint32_t>(0x1000 * (s + 1)));
        PutLe32(image, header + 16, static_cast<uint32_t>(raw));
        PutLe32(image, header + 20, static_cast<uint32_t>(cursor));
        PutLe32(image, header + 36, 0x40000040);
        if (s == 0 && table_in_middle) {
            place_gap_and_table();
        }
    }
    if (!table_in_middle) {
        place_gap_and_table();
    }
    layout.trailing_offset = image.size();
    Append(image, trailing_);

    if (directory_override_.has_value()) {
        PutLe32(image, layout.directory, directory_override_->first);
        PutLe32(image, layout.directory + 4, directory_override_->second);
    } else if (table_.has_value()) {
        PutLe32(image, layout.directory, static_cast<uint32_t>(layout.table_offset));
        PutLe32(image, layout.directory + 4, static_cast<uint32_t>(layout.table_size));
    }
    return out;
}

PeLayout ReadLayout(const Bytes& image) {
    if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z') {
        throw std::runtime_error("no DOS header");
    }
    PeLayout layout;
    layout.e = GetLe32(image, 60);
    if (layout.e + 24 + 2 > image.size() || image[layout.e] != 'P' || image[layout.e + 1] != 'E') {
        throw std::runtime_error("no PE signature");
    }
    layout.optional_header = layout.e + 24;
    layout.checksum = layout.optional_header + 64;
    const uint16_t magic = GetLe16(image, layout.optional_header);
    if (magic != 0x010B && magic != 0x020B) {
        throw std::runtime_error("unknown optional header magic");
    }
    layout.directory = layout.optional_header + (magic == 0x020B ? 144 : 128);
    layout.table_offset = GetLe32(image, layout.directory);
    layout.table_size = GetLe32(image, layout.directory + 4);
    if (layout.table_size == 0) {
        layout.table_offset = 0;
    }
    return layout;
}

Bytes AppendCertificateTable(const Bytes& image, const Bytes& table) {
    if (image.size() % 8 != 0) {
        throw std::runtime_error("image size is not a multiple of 8");
    }
    const PeLayout layout = ReadLayout(image);
    if (layout.table_size != 0) {
        throw std::runtime_error("image already has a certificate table");
    }
    Bytes out = image;
    PutLe32(out, layout.directory, static_cast<uint32_t>(image.size()));
    PutLe32(out, layout.directory + 4, static_cast<uint32_t>(table.size()));
    Append(out, table);
    return out;
}

Bytes ReplaceCertificateTable(const Bytes& image, const Bytes& table) {
    const PeLayout layout = ReadLayout(image);
    if (layout.table_size == 0) {
        return AppendCertificateTable(image, table);
    }
    if (layout.table_offset + layout.table_size > image.size()) {
        throw std::runtime_error("certificate table runs past the end");
    }
    Bytes out(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(layout.table_offset));
    Append(out, table);
    out.insert(out.end(),
               image.begin() + static_cast<std::ptrdiff_t>(layout.table_offset + layout.table_size),
               image.end());
    PutLe32(out, layout.directory + 4, static_cast<uint32_t>(table.size()));
    return out;
}

}  // namespace quorvel_test
