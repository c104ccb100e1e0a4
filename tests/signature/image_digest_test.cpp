// The image digest: which bytes it covers, compared with a reference made differently.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signing.h"

namespace quorvel_test {
namespace {

Digest LibraryDigest(const Bytes& image, int* status = nullptr) {
    Digest digest{};
    const int result = quorvel_image_digest(image.data(), image.size(), digest.data());
    if (status != nullptr) {
        *status = result;
    } else {
        EXPECT_EQ(result, QUORVEL_OK);
    }
    return digest;
}

Bytes Slice(const Bytes& image, uint64_t begin, uint64_t end) {
    return Bytes(image.begin() + static_cast<std::ptrdiff_t>(begin),
                 image.begin() + static_cast<std::ptrdiff_t>(end));
}

struct Sample {
    std::string name;
    BuiltPe pe;
};

std::vector<Sample> Samples() {
    const Bytes table =
        MakeQuorvelEntry(MakePayload(PatternSignature(1), PatternKeyId(1), "d.example"));
    std::vector<Sample> samples;
    for (const bool pe32plus : {false, true}) {
        const std::string format = pe32plus ? "PE32+" : "PE32";
        samples.push_back({format + " without a table",
                           PeBuilder(pe32plus).AddSection(".text", 0x200, 1).Build()});
        samples.push_back(
            {format + " with a table at the end",
             PeBuilder(pe32plus).AddSection(".text", 0x200, 1).SetCertificateTable(table).Build()});
        samples.push_back({format + " with alignment bytes, a table and data after it",
                           PeBuilder(pe32plus)
                               .AddSection(".text", 0x200, 1)
                               .SetGap(16)
                               .SetCertificateTable(table)
                               .SetTrailing(Bytes(40, 0x3C))
                               .Build()});
        samples.push_back({format + " with the table in the middle",
                           PeBuilder(pe32plus)
                               .AddSection(".text", 0x200, 1)
                               .AddSection(".data", 0x200, 2)
                               .SetCertificateTable(table, TablePlacement::kAfterFirstSection)
                               .Build()});
    }
    return samples;
}

TEST(ImageDigest, MatchesTheReference) {
    for (const Sample& sample : Samples()) {
        EXPECT_EQ(LibraryDigest(sample.pe.bytes), ReferenceImageDigest(sample.pe.bytes))
            << sample.name;
    }
}

TEST(ImageDigest, EveryByteOutsideTheExcludedRangesCountsAndNoneInside) {
    for (const Sample& sample : Samples()) {
        const Bytes& image = sample.pe.bytes;
        const PeLayout& l = sample.pe.layout;
        const Digest original = LibraryDigest(image);
        Bytes changed = image;
        for (uint64_t i = 0; i < image.size(); ++i) {
            const bool in_checksum = i >= l.checksum && i < l.checksum + 4;
            const bool in_table =
                l.table_size != 0 && i >= l.table_offset && i < l.table_offset + l.table_size;
            // The directory entry's bytes move the table; only its offset, with no table, is
            // free to change without changing what the entry states.
            const bool in_directory = i >= l.directory && i < l.directory + 8;
            if (in_directory && (l.table_size != 0 || i >= l.directory + 4)) {
                continue;
            }
            const bool structural = i < 2 || (i >= 60 && i < 64) || (i >= l.e && i < l.e + 4) ||
                                    (i >= l.optional_header && i < l.optional_header + 2);
            changed[i] ^= 0x01;
            int status = 0;
            const Digest digest = LibraryDigest(changed, &status);
            changed[i] ^= 0x01;
            if (status != QUORVEL_OK) {
                // Only the bytes that lead to the directory entry can make it no PE image.
                ASSERT_TRUE(structural && status == QUORVEL_ERR_NOT_PE)
                    << sample.name << ": byte " << i << " gave status " << status;
                continue;
            }
            if (in_checksum || in_table || in_directory) {
                ASSERT_EQ(digest, original) << sample.name << ": excluded byte " << i << " counted";
            } else {
                ASSERT_NE(digest, original) << sample.name << ": byte " << i << " not covered";
            }
        }
    }
}

TEST(ImageDigest, LeavesOutTheTableAsTheEntryStatesIt) {
    // The entry now states a table of 8 bytes: the rest of the entry is hashed like any
    // other bytes after the table.
    const Bytes table = MakeQuorvelEntry(MakePayload(PatternSignature(1), PatternKeyId(1), "d"));
    const BuiltPe pe = PeBuilder().AddSection(".text", 0x200, 1).SetCertificateTable(table).Build();
    Bytes moved = pe.bytes;
    PutLe32(moved, pe.layout.directory + 4, 8);  // the table is now its first 8 bytes
    Bytes moved_back = moved;
    moved_back[pe.layout.table_offset + 100] ^= 0xFF;
    EXPECT_NE(LibraryDigest(moved), LibraryDigest(moved_back));
    EXPECT_EQ(LibraryDigest(moved), ReferenceImageDigest(moved));
}

TEST(ImageDigest, RangesBetweenCheckSumAndDirectory) {
    for (const bool pe32plus : {false, true}) {
        const BuiltPe pe = PeBuilder(pe32plus).AddSection(".text", 0x200, 1).Build();
        const PeLayout& l = pe.layout;
        EXPECT_EQ(l.directory - (l.checksum + 4), pe32plus ? 76U : 60U);
        Bytes concatenation = Slice(pe.bytes, 0, l.checksum);
        Append(concatenation, Slice(pe.bytes, l.checksum + 4, l.directory));
        Append(concatenation, Slice(pe.bytes, l.directory + 8, pe.bytes.size()));
        EXPECT_EQ(LibraryDigest(pe.bytes), Sha256(concatenation.data(), concatenation.size()))
            << (pe32plus ? "PE32+" : "PE32");
    }
}

TEST(ImageDigest, DirectoryEntryIsTheLastThingInTheFile) {
    for (const bool pe32plus : {false, true}) {
        const BuiltPe pe = PeBuilder(pe32plus).Build();
        const PeLayout& l = pe.layout;
        const Bytes image = Slice(pe.bytes, 0, l.directory + 8);
        Bytes concatenation = Slice(image, 0, l.checksum);
        Append(concatenation, Slice(image, l.checksum + 4, l.directory));
        EXPECT_EQ(LibraryDigest(image), Sha256(concatenation.data(), concatenation.size()))
            << (pe32plus ? "PE32+" : "PE32");
    }
}

TEST(ImageDigest, AppendingATableKeepsTheDigestAlignmentBytesChangeIt) {
    const Bytes image = PeBuilder().AddSection(".text", 0x200, 1).Build().bytes;
    ASSERT_EQ(image.size() % 8, 0U);
    const Bytes table = MakeQuorvelEntry(MakePayload(PatternSignature(1), PatternKeyId(1), "d"));
    const Bytes signed_image = AppendCertificateTable(image, table);
    EXPECT_EQ(LibraryDigest(signed_image), LibraryDigest(image));

    Bytes with_gap = image;
    Append(with_gap, Bytes(8, 0));
    EXPECT_NE(LibraryDigest(AppendCertificateTable(with_gap, table)), LibraryDigest(image));
}

TEST(ImageDigest, NotPe) {
    const BuiltPe pe = PeBuilder().AddSection(".text", 0x200, 1).Build();
    Bytes no_mz = pe.bytes;
    no_mz[1] = 'X';
    Bytes bad_magic = pe.bytes;
    PutLe16(bad_magic, pe.layout.optional_header, 0x0107);
    Bytes table_past_end = pe.bytes;
    PutLe32(table_past_end, pe.layout.directory, static_cast<uint32_t>(pe.bytes.size() - 8));
    PutLe32(table_past_end, pe.layout.directory + 4, 16);
    struct Case {
        std::string name;
        Bytes image;
    };
    const Case cases[] = {
        {"empty", {}},
        {"63 bytes", Slice(pe.bytes, 0, 63)},
        {"no MZ", no_mz},
        {"ROM magic", bad_magic},
        {"table past the end", table_past_end},
        {"directory entry one byte short", Slice(pe.bytes, 0, pe.layout.directory + 7)},
    };
    for (const Case& c : cases) {
        int status = 0;
        const Bytes exact = c.image;
        LibraryDigest(exact, &status);
        EXPECT_EQ(status, QUORVEL_ERR_NOT_PE) << c.name;
    }
    Digest digest{};
    EXPECT_EQ(quorvel_image_digest(nullptr, 4096, digest.data()), QUORVEL_ERR_NOT_PE);
    EXPECT_EQ(quorvel_image_digest(pe.bytes.data(), pe.bytes.size(), nullptr), QUORVEL_ERR_NOT_PE);
}

}  // namespace
}  // namespace quorvel_test
