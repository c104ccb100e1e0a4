// The digest's SHA-256 seam (the platform's provider, libsodium as the fallback): one known
// answer, agreement with libsodium on built images; and the whole-file block.
#include "sha256.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "image_block.h"
#include "memory_stream.h"
#include "quorvel_internal.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"

namespace quorvel_test {
namespace {

// libsodium's one-shot SHA-256: the reference throughout this file.
Digest SodiumSha256(const unsigned char* bytes, size_t length) {
    Digest digest{};
    crypto_hash_sha256(digest.data(), bytes, length);
    return digest;
}

Digest SodiumSha256(const Bytes& bytes) { return SodiumSha256(bytes.data(), bytes.size()); }

using Ranges = std::vector<quorvel_byte_range>;

// The three entry points of the seam over the same ranges.
struct Hashes {
    Digest combined{};
    Digest platform{};
    Digest portable{};
    int platform_ok = 0;
};

Hashes HashRanges(const Ranges& ranges) {
    Hashes hashes;
    quorvel_sha256_ranges(ranges.data(), ranges.size(), hashes.combined.data());
    hashes.platform_ok =
        quorvel_sha256_ranges_platform(ranges.data(), ranges.size(), hashes.platform.data());
    quorvel_sha256_ranges_portable(ranges.data(), ranges.size(), hashes.portable.data());
    return hashes;
}

void ExpectAllEqual(const Ranges& ranges, const Digest& expected, const std::string& name) {
    const Hashes hashes = HashRanges(ranges);
    EXPECT_EQ(hashes.platform_ok, 1) << name << ": the platform's provider failed";
    EXPECT_EQ(ToHex(hashes.combined.data(), 32), ToHex(expected.data(), 32)) << name;
    EXPECT_EQ(ToHex(hashes.platform.data(), 32), ToHex(expected.data(), 32)) << name;
    EXPECT_EQ(ToHex(hashes.portable.data(), 32), ToHex(expected.data(), 32)) << name;
}

Digest FromHexDigest(std::string_view hex) {
    const Bytes raw = FromHex(hex);
    Digest digest{};
    std::copy(raw.begin(), raw.end(), digest.begin());
    return digest;
}

// "abc" (FIPS 180-2) in four ranges, two of them empty; no ranges at all is the empty digest.
TEST(Sha256Seam, KnownAnswer) {
    const Bytes abc = FromText("abc");
    ExpectAllEqual(
        {{abc.data(), 1}, {nullptr, 0}, {abc.data() + 1, 2}, {abc.data() + 3, 0}},
        FromHexDigest("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"), "abc");
    ExpectAllEqual({}, SodiumSha256(nullptr, 0), "no ranges");
}

// One range larger than CNG's piece of 1 GiB, against the same bytes cut at that size. The block is
// mostly untouched zero pages, so it costs little memory.
TEST(Sha256Seam, RangeAboveOneGibibyte) {
    constexpr size_t kGiB = size_t{1} << 30;
    constexpr size_t kSize = kGiB + 5;
    const std::unique_ptr<unsigned char, decltype(&std::free)> owner(
        static_cast<unsigned char*>(std::calloc(kSize, 1)), &std::free);
    unsigned char* block = owner.get();
    if (block == nullptr) {
        GTEST_SKIP() << "no address space for 1 GiB here";
    }
    // Marks around the piece boundary and at both ends, so that a dropped or repeated piece
    // shows.
    const size_t marks[] = {0, 4095, kGiB - 2, kGiB - 1, kGiB, kGiB + 1, kSize - 1};
    for (size_t i = 0; i < sizeof marks / sizeof marks[0]; ++i) {
        block[marks[i]] = static_cast<unsigned char>(0xA0 + i);
    }
    const Ranges whole = {{block, kSize}};
    const Ranges at_piece = {{block, kGiB}, {block + kGiB, 5}};
    Digest reference{};
    ASSERT_EQ(quorvel_sha256_ranges_platform(at_piece.data(), at_piece.size(), reference.data()),
              1);
    Digest digest{};
    ASSERT_EQ(quorvel_sha256_ranges_platform(whole.data(), whole.size(), digest.data()), 1);
    EXPECT_EQ(digest, reference) << "one range of 1 GiB + 5 bytes";
    // A dropped piece would give the hash of the tail alone or of the head alone.
    EXPECT_NE(digest, SodiumSha256(block + kGiB, 5));
}

// The image digest against libsodium over the ranges the layout says, for built images and for
// random contents with range lengths on every residue of the block size.
Digest SodiumImageDigest(const Bytes& image, const PeLayout& l) {
    Bytes message(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(l.checksum));
    message.insert(message.end(), image.begin() + static_cast<std::ptrdiff_t>(l.checksum + 4),
                   image.begin() + static_cast<std::ptrdiff_t>(l.directory));
    if (l.table_size == 0) {
        message.insert(message.end(), image.begin() + static_cast<std::ptrdiff_t>(l.directory + 8),
                       image.end());
    } else {
        message.insert(message.end(), image.begin() + static_cast<std::ptrdiff_t>(l.directory + 8),
                       image.begin() + static_cast<std::ptrdiff_t>(l.table_offset));
        message.insert(message.end(),
                       image.begin() + static_cast<std::ptrdiff_t>(l.table_offset + l.table_size),
                       image.end());
    }
    return SodiumSha256(message);
}

Digest LibraryDigest(const Bytes& image) {
    Digest digest{};
    EXPECT_EQ(quorvel_image_digest(image.data(), image.size(), digest.data()), QUORVEL_OK);
    return digest;
}

TEST(Sha256Seam, ImageDigestEqualsLibsodiumOnBuiltImages) {
    const Bytes table =
        MakeQuorvelEntry(MakePayload(PatternSignature(3), PatternKeyId(3), "s.example"));
    for (const bool pe32plus : {false, true}) {
        const std::string format = pe32plus ? "PE32+" : "PE32";
        struct Case {
            std::string name;
            BuiltPe pe;
        };
        const std::vector<Case> cases = {
            {"headers only", PeBuilder(pe32plus).Build()},
            {"no table", PeBuilder(pe32plus).AddSection(".text", 0x400, 1).Build()},
            {"table at the end",
             PeBuilder(pe32plus).AddSection(".text", 0x200, 1).SetCertificateTable(table).Build()},
            {"gap, table, trailing bytes", PeBuilder(pe32plus)
                                               .AddSection(".text", 0x200, 1)
                                               .SetGap(24)
                                               .SetCertificateTable(table)
                                               .SetTrailing(Repeat(0x5A, 77))
                                               .Build()},
            {"table in the middle",
             PeBuilder(pe32plus)
                 .AddSection(".text", 0x200, 1)
                 .AddSection(".data", 0x600, 2)
                 .SetCertificateTable(table, TablePlacement::kAfterFirstSection)
                 .Build()},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(LibraryDigest(c.pe.bytes), SodiumImageDigest(c.pe.bytes, c.pe.layout))
                << format << ", " << c.name;
        }
    }
}

// The whole-file block.
TEST(ImageBlock, SizesAroundTheLargeBlockThreshold) {
    struct Case {
        size_t size;
        bool aligned;  // expected 2 MiB alignment
    };
    const std::vector<Case> cases = {
        {1, false},
        {QUORVEL_IMAGE_BLOCK_LARGE_BYTES - 1, false},
        {QUORVEL_IMAGE_BLOCK_LARGE_BYTES, true},
        {QUORVEL_IMAGE_BLOCK_LARGE_BYTES + 1, true},
        {QUORVEL_IMAGE_BLOCK_LARGE_BYTES + QUORVEL_IMAGE_BLOCK_ALIGNMENT + 12345, true},
    };
    for (const Case& c : cases) {
        unsigned char* block = quorvel_image_block_allocate(c.size);
        ASSERT_NE(block, nullptr) << c.size << " bytes";
#ifndef _WIN32
        if (c.aligned) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % QUORVEL_IMAGE_BLOCK_ALIGNMENT, 0U)
                << c.size << " bytes";
        }
#endif
        // Every byte is writable and keeps its value (a block that is too short shows under
        // the sanitizers and, at the end, as a wrong byte).
        for (size_t i = 0; i < c.size; i += 4093) {
            block[i] = static_cast<unsigned char>(i * 31);
        }
        block[c.size - 1] = 0xE7;
        for (size_t i = 0; i + 1 < c.size; i += 4093) {
            ASSERT_EQ(block[i], static_cast<unsigned char>(i * 31)) << c.size << " bytes, at " << i;
        }
        EXPECT_EQ(block[c.size - 1], 0xE7) << c.size << " bytes";
        quorvel_image_block_release(block);
    }
    quorvel_image_block_release(nullptr);
}

TEST(ImageBlock, AnImpossibleSizeIsRefused) {
    // Above what any address space holds: the allocation must fail cleanly, large path.
    EXPECT_EQ(quorvel_image_block_allocate(SIZE_MAX - QUORVEL_IMAGE_BLOCK_ALIGNMENT), nullptr);
}

// A large file read in short pieces lands whole in the large block, byte for byte.
TEST(ImageBlock, LargeFileReadInPiecesVerifies) {
    const TestKey key = KeyFromSeedByte(0x17);
    SignedPeOptions options;
    options.approximate_size = QUORVEL_IMAGE_BLOCK_LARGE_BYTES + 3 * 4096 + 8;
    const Bytes image =
        SignPe(MakeUnsignedPe(options), key, "large.example", Container::kQuorvelEntry);
    ASSERT_GE(image.size(), QUORVEL_IMAGE_BLOCK_LARGE_BYTES);
    MemoryStream stream(image);
    stream.max_chunk = 1 << 20;  // pieces that straddle 2 MiB boundaries of the block
    stream.max_chunk += 4096 + 3;
    quorvel_verify_result result{};
    EXPECT_EQ(quorvel_verify_file(&stream, MemoryIo(), key.public_key.data(), &result), QUORVEL_OK);
    EXPECT_EQ(result.verified, 1U);
    EXPECT_EQ(stream.close_calls, 1);
    // One byte changed in the last piece: the digest sees it.
    Bytes tampered = image;
    tampered.at(tampered.size() - 400) ^= 0x01;
    MemoryStream second(tampered);
    second.max_chunk = stream.max_chunk;
    EXPECT_EQ(quorvel_verify_file(&second, MemoryIo(), key.public_key.data(), &result),
              QUORVEL_ERR_SIGNATURE_INVALID);
}

}  // namespace
}  // namespace quorvel_test
