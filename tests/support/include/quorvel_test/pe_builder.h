// Synthetic PE32 and PE32+ images, built from scratch, with every field the signature code
// reads under the test's control.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorvel_test/bytes.h"

namespace quorvel_test {

// File offsets inside an image.
struct PeLayout {
    uint64_t e = 0;                // e_lfanew: the "PE\0\0" signature
    uint64_t optional_header = 0;  // e + 24
    uint64_t checksum = 0;         // optional header + 64
    uint64_t directory = 0;        // security directory entry: optional header + 128 / + 144
    uint64_t table_offset = 0;     // certificate table, 0 when there is none
    uint64_t table_size = 0;
};

struct BuiltPe {
    Bytes bytes;
    PeLayout layout;
};

enum class TablePlacement { kAfterSections, kAfterFirstSection };

class PeBuilder {
  public:
    explicit PeBuilder(bool pe32plus = true) : pe32plus_(pe32plus) {}
    // raw_size bytes (rounded up to 0x200) of a pattern seeded by fill: no two sections alike.
    PeBuilder& AddSection(const std::string& name, uint32_t raw_size, unsigned char fill) {
        return sections_.push_back({name, raw_size, fill}), *this;
    }
    // Non-zero bytes between the previous data and the table.
    PeBuilder& SetGap(uint32_t bytes) { return gap_ = bytes, *this; }
    PeBuilder& SetCertificateTable(const Bytes& table,
                                   TablePlacement placement = TablePlacement::kAfterSections) {
        return table_ = table, placement_ = placement, *this;
    }
    // Appended after the table (or the sections).
    PeBuilder& SetTrailing(const Bytes& bytes) { return trailing_ = bytes, *this; }
    // The directory entry as written, whatever the layout.
    PeBuilder& OverrideDirectory(uint32_t offset, uint32_t size) {
        return directory_override_ = std::make_pair(offset, size), *this;
    }
    BuiltPe Build() const;

  private:
    struct Section {
        std::string name;
        uint32_t raw_size;
        unsigned char fill;
    };
    bool pe32plus_;
    std::vector<Section> sections_;
    uint32_t gap_ = 0;
    std::optional<Bytes> table_;
    TablePlacement placement_ = TablePlacement::kAfterSections;
    Bytes trailing_;
    std::optional<std::pair<uint32_t, uint32_t>> directory_override_;
};

// Positions read back by an independent header walk (no certificate table checks). Throws
// std::runtime_error when the headers do not lead to the directory entry.
PeLayout ReadLayout(const Bytes& image);

// Appends a table to an image without one whose size is a multiple of 8.
Bytes AppendCertificateTable(const Bytes& image, const Bytes& table);
// Replaces the image's table (wherever it is), or appends one; the bytes around it stay.
Bytes ReplaceCertificateTable(const Bytes& image, const Bytes& table);

}  // namespace quorvel_test
