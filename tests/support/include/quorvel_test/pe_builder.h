// Synthetic PE32 and PE32+ images, built from scratch, with every field the signature code
// reads under the test's control.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorvel_test/bytes.h"

namespace quorvel_test {

// Positions inside a built image (file offsets).
struct PeLayout {
    uint64_t e = 0;                // e_lfanew: the "PE\0\0" signature
    uint64_t optional_header = 0;  // e + 24
    uint64_t checksum = 0;         // optional header + 64
    uint64_t directory = 0;        // security directory entry: optional header + 128 / + 144
    uint64_t table_offset = 0;     // certificate table, 0 when there is none
    uint64_t table_size = 0;
    uint64_t gap_offset = 0;  // alignment bytes before the table (gap_size of them)
    uint64_t gap_size = 0;
    uint64_t trailing_offset = 0;           // bytes appended after the table
    std::vector<uint64_t> section_offsets;  // PointerToRawData of each section
};

struct BuiltPe {
    Bytes bytes;
    PeLayout layout;
};

enum class TablePlacement { kAfterSections, kAfterFirstSection };

class PeBuilder {
  public:
    explicit PeBuilder(bool pe32plus = true);

    // A section of raw_size bytes (rounded up to the file alignment) filled from a pattern
    // seeded by fill, so that no two sections look alike.
    PeBuilder& AddSection(const std::string& name, uint32_t raw_size, unsigned char fill);
    // Bytes placed between the previous data and the table (non-zero pattern).
    PeBuilder& SetGap(uint32_t bytes);
    PeBuilder& SetCertificateTable(const Bytes& table,
                                   TablePlacement placement = TablePlacement::kAfterSections);
    PeBuilder& SetTrailing(const Bytes& bytes);  // appended after the table (or the sections)
    // The directory entry as written, whatever the layout (hostile values).
    PeBuilder& OverrideDirectory(uint32_t offset, uint32_t size);

    BuiltPe Build() const;

    static constexpr uint32_t kFileAlignment = 0x200;
    static constexpr uint32_t kDefaultELfanew = 0x80;

  private:
    struct Section {
        std::string name;
        uint32_t raw_size;
        unsigned char fill;
    };
    bool pe32plus_;
    uint32_t e_lfanew_ = kDefaultELfanew;
    uint16_t magic_;
    uint32_t checksum_ = 0x0001F00D;
    std::vector<Section> sections_;
    uint32_t gap_ = 0;
    std::optional<Bytes> table_;
    TablePlacement placement_ = TablePlacement::kAfterSections;
    Bytes trailing_;
    std::optional<std::pair<uint32_t, uint32_t>> directory_override_;
};

// Positions read back from any image by an independent header walk (no certificate table
// checks). Throws std::runtime_error when the headers do not lead to the directory entry.
PeLayout ReadLayout(const Bytes& image);

// Appends a certificate table at the end of an image whose size is a multiple of 8, and
// points the security directory entry at it.
Bytes AppendCertificateTable(const Bytes& image, const Bytes& table);

// Replaces the image's certificate table (wherever it is) by a new one; the bytes around it
// stay, the directory entry is updated.
Bytes ReplaceCertificateTable(const Bytes& image, const Bytes& table);

}  // namespace quorvel_test
