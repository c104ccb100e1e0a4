// quorvel-authenticode-fixtures DIR: writes Authenticode test material that only the native
// build can make (the messages are built with OpenSSL), together with what the native
// library makes of it, so that the Windows build can check that its own PKCS#7 decoder
// (the platform's message functions) reaches the same results.
//
//   DIR/messages.tsv   one line per PKCS#7 message:
//       name, file, decoded, found, attribute seen, payload hex or "-", attributes
//     where decoded is what the decoder seam answered, found and attribute seen are the
//     results of the Authenticode payload search, and attributes lists signer 0's
//     unauthenticated attributes in visiting order as "oid=hex,hex;oid=..." ("-" for none).
//   DIR/files.tsv      one line per whole PE file:
//       name, file, public key hex, read status, domain hex or "-", verify status
//   DIR/*.p7b, DIR/*.exe  the messages and files themselves.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pkcs7_decoder.h"
#include "quorvel/quorvel.h"
#include "quorvel_internal.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"

namespace {

using namespace quorvel_test;

Bytes Payload(const char* domain = "authenticode.example", unsigned char seed = 1) {
    return MakePayload(PatternSignature(seed), PatternKeyId(seed), domain);
}

AttributeSpec Quorvel(std::vector<Bytes> values) { return {kQuorvelPayloadOid, std::move(values)}; }

Bytes OneSigner(std::vector<AttributeSpec> attributes) {
    return MakeSignedData({SignerSpec{std::move(attributes)}});
}

struct Message {
    std::string name;
    Bytes der;
};

std::vector<Message> Messages() {
    const Bytes p = Payload();
    const Bytes bad = MakePayload(PatternSignature(2), PatternKeyId(2), std::string(256, 'b'));
    Bytes raw = p;  // 352 bytes that form one element (an OCTET STRING of 348 bytes)
    raw[0] = 0x04;
    raw[1] = 0x82;
    raw[2] = 0x01;
    raw[3] = 0x5C;
    // 352 bytes that are also one OCTET STRING with a non-minimal length (347 content bytes).
    Bytes rawNonMinimal = p;
    rawNonMinimal[0] = 0x04;
    rawNonMinimal[1] = 0x83;
    rawNonMinimal[2] = 0x00;
    rawNonMinimal[3] = 0x01;
    rawNonMinimal[4] = 0x5B;
    Bytes octetsPlusOne = DerOctetString(p);
    octetsPlusOne.push_back(0x00);
    const Bytes good = DerOctetString(p);
    const std::string longOid =
        "1.3.6.1.4.1.57931.1.1.4294967295.4294967295.4294967295.4294967295.4294967295."
        "4294967295.4294967295.4294967295.4294967295.4294967295.1";
    const Bytes plain = OneSigner({});
    const Bytes withPayload = OneSigner({Quorvel({good})});

    std::vector<Message> messages = {
        {"octet-string", withPayload},
        {"octet-string-non-minimal-length", OneSigner({Quorvel({DerOctetString(p, 3)})})},
        {"octet-string-8-length-bytes", OneSigner({Quorvel({DerOctetString(p, 8)})})},
        {"sequence-wrapper-trailing-elements",
         OneSigner({Quorvel({DerSequence(Concat({good, DerNull()}))})})},
        {"set-wrapper", OneSigner({Quorvel({DerSet(good)})})},
        {"raw-352-bytes", OneSigner({Quorvel({raw})})},
        {"raw-352-bytes-non-minimal-length", OneSigner({Quorvel({rawNonMinimal})})},
        {"non-ascii-domain", OneSigner({Quorvel({DerOctetString(Payload("bücher.example"))})})},
        {"octet-string-351-bytes",
         OneSigner({Quorvel({DerOctetString(Bytes(p.begin(), p.end() - 1))})})},
        {"octet-string-bad-domain", OneSigner({Quorvel({DerOctetString(bad)})})},
        {"null-value", OneSigner({Quorvel({DerNull()})})},
        {"no-values", OneSigner({Quorvel({})})},
        {"bad-value-then-good", OneSigner({Quorvel({DerNull(), good})})},
        {"two-bad-values", OneSigner({Quorvel({DerNull(), DerOctetString(bad)})})},
        {"sequence-of-octet-string-plus-one-byte",
         OneSigner({Quorvel({DerSequence(octetsPlusOne)})})},
        {"indefinite-length-value", OneSigner({Quorvel({Concat({FromHex("0480"), p})})})},
        {"other-attributes-around",
         OneSigner({AttributeSpec{"1.2.3.4.5", {DerNull(), DerSequence(good)}}, Quorvel({good}),
                    AttributeSpec{"2.5.4.3", {DerOctetString(Bytes(3, 0x41))}}})},
        {"almost-matching-identifier",
         OneSigner({AttributeSpec{"1.3.6.1.4.1.57931.1.2", {good}}})},
        {"identifier-one-arc-longer",
         OneSigner({AttributeSpec{"1.3.6.1.4.1.57931.1.1.1", {good}}})},
        {"long-identifier", OneSigner({AttributeSpec{longOid, {DerNull()}}})},
        {"two-attributes-bad-then-good", OneSigner({Quorvel({DerNull()}), Quorvel({good})})},
        {"signer-without-attributes", plain},
        {"attribute-on-second-signer-only",
         MakeSignedData({SignerSpec{}, SignerSpec{{Quorvel({good})}}})},
        {"first-of-two-signers",
         MakeSignedData({SignerSpec{{Quorvel({good})}},
                         SignerSpec{{AttributeSpec{"1.2.3.4", {DerOctetString(Bytes(600, 0x11))}}}}})},
        {"nested-signature-only", MakeSignedDataWithNested(withPayload)},
        {"many-attributes",
         OneSigner({AttributeSpec{"1.2.3.1", {DerNull()}}, AttributeSpec{"1.2.3.2", {DerNull()}},
                    AttributeSpec{"1.2.3.3", {DerNull()}}, AttributeSpec{"1.2.3.4", {DerNull()}},
                    AttributeSpec{"1.2.3.5", {DerNull()}}, Quorvel({good})})},
        // Malformed or foreign bytes.
        {"garbage", Bytes(64, 0x30)},
        {"zeros", Bytes(64, 0x00)},
        {"truncated-message", Bytes(withPayload.begin(), withPayload.end() - 20)},
        {"only-the-outer-header", Bytes(withPayload.begin(), withPayload.begin() + 4)},
        {"a-null", DerNull()},
        {"message-then-zero-padding", Concat({withPayload, Bytes(7, 0x00)})},
        {"message-then-garbage", Concat({withPayload, FromText("trailing bytes")})},
        {"outer-length-one-short",
         [&] {
             Bytes b = withPayload;
             b.pop_back();
             return b;
         }()},
        {"content-type-changed",
         [&] {
             // The SignedData object identifier 1.2.840.113549.1.7.2 with its last arc made 1
             // (plain data): no longer signed data.
             Bytes b = withPayload;
             const Bytes oid = FromHex("06092a864886f70d010702");
             for (size_t i = 0; i + oid.size() <= b.size(); ++i) {
                 if (std::equal(oid.begin(), oid.end(), b.begin() + static_cast<long>(i))) {
                     b[i + oid.size() - 1] = 0x01;
                     break;
                 }
             }
             return b;
         }()},
    };
    return messages;
}

struct Listing {
    std::string text;
};

int ListAttribute(void* context, const char* oid, const quorvel_der_value* values, size_t count) {
    auto* listing = static_cast<Listing*>(context);
    if (!listing->text.empty()) {
        listing->text += ';';
    }
    listing->text += oid != nullptr ? oid : "(null)";
    listing->text += '=';
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            listing->text += ',';
        }
        listing->text += ToHex(values[i].bytes, values[i].length);
    }
    return 0;
}

// Stream callbacks over a byte vector, for the native results of whole files.
struct Memory {
    const Bytes* bytes;
    size_t position = 0;
};

size_t MemoryRead(void* buffer, size_t size, size_t count, void* handle) {
    auto* m = static_cast<Memory*>(handle);
    const size_t wanted = size * count;
    const size_t left = m->bytes->size() - m->position;
    const size_t n = wanted < left ? wanted : left;
    std::copy_n(m->bytes->begin() + static_cast<long>(m->position), n,
                static_cast<unsigned char*>(buffer));
    m->position += n;
    return size == 0 ? 0 : n / size;
}

int MemorySeek(void* handle, int64_t offset, int origin) {
    auto* m = static_cast<Memory*>(handle);
    const int64_t base = origin == 2 ? static_cast<int64_t>(m->bytes->size())
                         : origin == 1 ? static_cast<int64_t>(m->position)
                                       : 0;
    const int64_t target = base + offset;
    if (target < 0 || target > static_cast<int64_t>(m->bytes->size())) {
        return -1;
    }
    m->position = static_cast<size_t>(target);
    return 0;
}

int64_t MemoryTell(void* handle) { return static_cast<int64_t>(static_cast<Memory*>(handle)->position); }

const quorvel_io kMemoryIo{MemoryRead, MemorySeek, MemoryTell, nullptr};

struct File {
    std::string name;
    Bytes image;
    TestKey key;
};

std::vector<File> Files() {
    const TestKey key = KeyFromSeedByte(0x21);
    const TestKey other = KeyFromSeedByte(0x22);
    std::vector<File> files;
    SignedPeOptions plus;
    SignedPeOptions pe32;
    pe32.pe32plus = false;
    const Bytes unsignedPlus = MakeUnsignedPe(plus);
    const Bytes unsignedPe32 = MakeUnsignedPe(pe32);
    files.push_back({"authenticode-pe32plus",
                     SignPe(unsignedPlus, key, "files.example", Container::kAuthenticode), key});
    files.push_back({"authenticode-pe32",
                     SignPe(unsignedPe32, key, "pe32.example", Container::kAuthenticode), key});
    files.push_back({"authenticode-other-key",
                     SignPe(unsignedPlus, key, "files.example", Container::kAuthenticode), other});
    files.push_back({"quorvel-entry-pe32plus",
                     SignPe(unsignedPlus, key, "entry.example", Container::kQuorvelEntry), key});
    Bytes changed = SignPe(unsignedPlus, key, "files.example", Container::kAuthenticode);
    changed[0x200] ^= 0x01;  // inside the first section: the digest no longer matches
    files.push_back({"authenticode-changed-after-signing", changed, key});
    files.push_back({"unsigned", unsignedPlus, key});
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: quorvel-authenticode-fixtures DIR\n", stderr);
        return 2;
    }
    try {
        const std::filesystem::path dir = argv[1];
        std::filesystem::create_directories(dir);

        std::ofstream messages(dir / "messages.tsv", std::ios::binary);
        size_t messageCount = 0;
        for (const Message& m : Messages()) {
            const std::string file = m.name + ".p7b";
            WriteFile((dir / file).string(), m.der);
            Listing listing;
            const int decoded = quorvel_pkcs7_visit_signer_attributes(
                m.der.data(), m.der.size(), ListAttribute, &listing);
            quorvel_payload payload{};
            int seen = 0;
            const int found =
                quorvel_find_authenticode_payload(m.der.data(), m.der.size(), &payload, &seen);
            Bytes payloadBytes;
            if (found) {
                Append(payloadBytes, Bytes(payload.signature, payload.signature + 64));
                Append(payloadBytes, Bytes(payload.key_id, payload.key_id + 32));
                Append(payloadBytes,
                       Bytes(payload.domain, payload.domain + payload.domain_length));
            }
            messages << m.name << '\t' << file << '\t' << decoded << '\t' << found << '\t'
                     << seen << '\t'
                     << (found ? ToHex(payloadBytes.data(), payloadBytes.size()) : "-") << '\t'
                     << (listing.text.empty() ? "-" : listing.text) << '\n';
            ++messageCount;
        }

        std::ofstream files(dir / "files.tsv", std::ios::binary);
        size_t fileCount = 0;
        for (const File& f : Files()) {
            const std::string file = f.name + ".exe";
            WriteFile((dir / file).string(), f.image);
            Memory readStream{&f.image};
            quorvel_signature_info info{};
            const int readStatus = quorvel_read_signature_info(&readStream, &kMemoryIo, &info);
            Memory verifyStream{&f.image};
            quorvel_verify_result result{};
            const int verifyStatus =
                quorvel_verify_file(&verifyStream, &kMemoryIo, f.key.public_key.data(), &result);
            const std::string domain =
                readStatus == QUORVEL_OK && info.domain_length > 0
                    ? ToHex(reinterpret_cast<const unsigned char*>(info.domain),
                            static_cast<size_t>(info.domain_length))
                    : "-";
            files << f.name << '\t' << file << '\t'
                  << ToHex(f.key.public_key.data(), f.key.public_key.size()) << '\t'
                  << readStatus << '\t' << domain << '\t' << verifyStatus << '\n';
            ++fileCount;
        }
        std::printf("wrote %zu messages and %zu files to %s\n", messageCount, fileCount,
                    dir.string().c_str());
        return messages && files ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorvel-authenticode-fixtures: %s\n", e.what());
        return 1;
    }
}
