// The header walk to the security directory entry and the certificate table, with hostile
// values at every field it reads.
#include <gtest/gtest.h>

#include <string>

#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"

namespace quorvel_test {
namespace {

struct Located {
    int ok;
    uint64_t offset;
    uint64_t size;
};

Located Locate(const Bytes& image, size_t size) {
    Located out{0, 0xDEAD, 0xBEEF};
    // A copy of exactly size bytes, so that a read past the end is caught by the sanitizer.
    const Bytes exact(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
    out.ok = quorvel_locate_certificate_table(exact.data(), exact.size(), &out.offset, &out.size);
    return out;
}

Located Locate(const Bytes& image) { return Locate(image, image.size()); }

BuiltPe WithTable(bool pe32plus) {
    return PeBuilder(pe32plus)
        .AddSection(".text", 0x400, 1)
        .SetCertificateTable(MakeWinCertificate(0x0200, 0x0002, Bytes(56, 0x30)))
        .Build();
}

TEST(LocateTable, FindsTheTableInBothFormats) {
    for (const bool pe32plus : {false, true}) {
        SCOPED_TRACE(pe32plus ? "PE32+" : "PE32");
        const BuiltPe pe = WithTable(pe32plus);
        EXPECT_EQ(pe.layout.directory - pe.layout.optional_header, pe32plus ? 144U : 128U);
        const Located found = Locate(pe.bytes);
        ASSERT_EQ(found.ok, 1);
        EXPECT_EQ(found.offset, pe.layout.table_offset);
        EXPECT_EQ(found.size, 64U);
    }
}

TEST(LocateTable, NoTableIsYesWithSizeZero) {
    BuiltPe pe = PeBuilder().AddSection(".text", 0x200, 1).Build();
    PutLe32(pe.bytes, pe.layout.directory, 0xFFFFFFF0);  // offset ignored when the size is 0
    const Located found = Locate(pe.bytes);
    EXPECT_EQ(found.ok, 1);
    EXPECT_EQ(found.size, 0U);
}

TEST(LocateTable, TruncatedHeadersAtEveryLimit) {
    for (const bool pe32plus : {false, true}) {
        const BuiltPe pe = PeBuilder(pe32plus).Build();  // no sections, no table
        const PeLayout& l = pe.layout;
        struct Case {
            std::string name;
            uint64_t size;
            int ok;
        };
        const Case cases[] = {
            {"empty", 0, 0},
            {"63 bytes", 63, 0},
            {"64 bytes", 64, 0},
            {"ends inside the PE signature", l.e + 2, 0},
            {"e + 23", l.e + 23, 0},
            {"e + 24: magic outside", l.e + 24, 0},
            {"e + 25: magic half inside", l.e + 25, 0},
            {"e + 26: magic inside, directory outside", l.e + 26, 0},
            {"directory entry one byte short", l.directory + 7, 0},
            {"ends exactly after the directory entry", l.directory + 8, 1},
            {"one byte after the directory entry", l.directory + 9, 1},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(Locate(pe.bytes, c.size).ok, c.ok)
                << (pe32plus ? "PE32+ " : "PE32 ") << c.name;
        }
    }
}

TEST(LocateTable, HostileELfanew) {
    const BuiltPe pe = WithTable(true);
    const uint64_t n = pe.bytes.size();
    struct Case {
        std::string name;
        uint32_t e;
    };
    const Case cases[] = {
        {"0xFFFFFFFF", 0xFFFFFFFFu},
        {"0xFFFFFFE8 (e + 24 wraps to 0 in 32 bits)", 0xFFFFFFE8u},
        {"0xFFFFFFFC", 0xFFFFFFFCu},
        {"size", static_cast<uint32_t>(n)},
        {"size - 23", static_cast<uint32_t>(n - 23)},
        {"size - 24 (signature fits, magic does not)", static_cast<uint32_t>(n - 24)},
        {"size - 25", static_cast<uint32_t>(n - 25)},
        {"0", 0},
    };
    for (const Case& c : cases) {
        Bytes image = pe.bytes;
        PutLe32(image, 60, c.e);
        if (uint64_t{c.e} + 4 <= n) {  // a PE signature where e points, so only bounds decide
            image[c.e] = 'P';
            image[c.e + 1] = 'E';
            image[c.e + 2] = 0;
            image[c.e + 3] = 0;
        }
        EXPECT_EQ(Locate(image).ok, 0) << c.name;
    }
}

TEST(LocateTable, SignaturesAndMagic) {
    const BuiltPe pe = WithTable(true);
    struct Case {
        std::string name;
        uint64_t pos;
        Bytes bytes;
        int ok;
    };
    const uint64_t e = pe.layout.e;
    const uint64_t magic = pe.layout.optional_header;
    const Case cases[] = {
        {"ZM", 0, FromText("ZM"), 0},
        {"mz", 0, FromText("mz"), 0},
        {"PE with a non-zero third byte", e + 2, FromHex("01"), 0},
        {"PE with a non-zero fourth byte", e + 3, FromHex("01"), 0},
        {"PF", e, FromText("PF"), 0},
        {"magic 0x0107 (ROM)", magic, FromHex("0701"), 0},
        {"magic 0x0000", magic, FromHex("0000"), 0},
        {"magic 0x030B", magic, FromHex("0b03"), 0},
        {"magic 0x020A", magic, FromHex("0a02"), 0},
        {"magic 0x020B", magic, FromHex("0b02"), 1},
    };
    for (const Case& c : cases) {
        Bytes image = pe.bytes;
        std::copy(c.bytes.begin(), c.bytes.end(),
                  image.begin() + static_cast<std::ptrdiff_t>(c.pos));
        EXPECT_EQ(Locate(image).ok, c.ok) << c.name;
    }
}

TEST(LocateTable, DirectoryPositionFollowsTheMagicNotTheDirectoryCount) {
    // A PE32+ image relabelled PE32 is read at optional header + 128, where index 2 sits.
    BuiltPe pe = WithTable(true);
    PutLe16(pe.bytes, pe.layout.optional_header, 0x010B);
    PutLe32(pe.bytes, pe.layout.optional_header + 128,
            static_cast<uint32_t>(pe.layout.table_offset));
    PutLe32(pe.bytes, pe.layout.optional_header + 132, 8);
    Located found = Locate(pe.bytes);
    ASSERT_EQ(found.ok, 1);
    EXPECT_EQ(found.size, 8U);

    BuiltPe counted = WithTable(true);
    PutLe32(counted.bytes, counted.layout.optional_header + 108, 0);  // NumberOfRvaAndSizes
    found = Locate(counted.bytes);
    ASSERT_EQ(found.ok, 1);
    EXPECT_EQ(found.size, 64U);
}

TEST(LocateTable, TableBounds) {
    const BuiltPe pe = WithTable(true);
    const uint64_t n = pe.bytes.size();
    const uint64_t d = pe.layout.directory;
    struct Case {
        std::string name;
        uint32_t offset;
        uint32_t size;
        int ok;
    };
    const Case cases[] = {
        {"ends exactly at the end", static_cast<uint32_t>(n - 64), 64, 1},
        {"ends one byte past the end", static_cast<uint32_t>(n - 64), 65, 0},
        {"starts at the end, size 1", static_cast<uint32_t>(n), 1, 0},
        {"starts right after the directory entry", static_cast<uint32_t>(d + 8), 8, 1},
        {"starts one byte inside the directory entry", static_cast<uint32_t>(d + 7), 8, 0},
        {"starts at 0", 0, 8, 0},
        {"offset + size wraps in 32 bits", 0xFFFFFFF8u, 0x10, 0},
        {"huge size", 8, 0xFFFFFFF8u, 0},
        {"both huge", 0xFFFFFFFFu, 0xFFFFFFFFu, 0},
        {"size 0 with a huge offset", 0xFFFFFFFFu, 0, 1},
    };
    for (const Case& c : cases) {
        Bytes image = pe.bytes;
        PutLe32(image, d, c.offset);
        PutLe32(image, d + 4, c.size);
        const Located found = Locate(image);
        EXPECT_EQ(found.ok, c.ok) << c.name;
        if (found.ok == 1) {
            EXPECT_EQ(found.size, c.size) << c.name;
            EXPECT_EQ(found.offset, c.offset) << c.name;
        }
    }
}

TEST(LocateTable, NullArguments) {
    const BuiltPe pe = WithTable(true);
    uint64_t offset;
    uint64_t size;
    EXPECT_EQ(quorvel_locate_certificate_table(nullptr, 4096, &offset, &size), 0);
    EXPECT_EQ(quorvel_locate_certificate_table(pe.bytes.data(), pe.bytes.size(), nullptr, &size),
              0);
    EXPECT_EQ(quorvel_locate_certificate_table(pe.bytes.data(), pe.bytes.size(), &offset, nullptr),
              0);
}

}  // namespace
}  // namespace quorvel_test
