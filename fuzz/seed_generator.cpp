// quorvel-fuzz-seeds: writes the starting corpus of every fuzz target, made with the test
// support library (synthetic PE files, certificate entries, Authenticode messages, signed
// files, key documents), plus the hand-written JSON structure files behind a key id.
//
//   quorvel-fuzz-seeds OUT_DIR [JSON_DIR]
//
// OUT_DIR/<target>/ receives the seeds of each target: image, payload_value,
// pkcs7_attributes, key_document, file_stream.
#include <array>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"

namespace fs = std::filesystem;
using namespace quorvel_test;

namespace {

constexpr size_t kStreamControlBytes = 5;
const std::string kJsonKeyId(43, 'A');  // the kid that the JSON structure files name

class SeedWriter {
  public:
    explicit SeedWriter(fs::path root) : root_(std::move(root)) {}

    void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
        const fs::path dir = root_ / target;
        fs::create_directories(dir);
        WriteFile((dir / name).string(), bytes);
        ++count_;
    }

    int count() const { return count_; }

  private:
    fs::path root_;
    int count_ = 0;
};

Bytes SignedAttributeMessage(const std::vector<Bytes>& values) {
    return MakeSignedData({SignerSpec{{AttributeSpec{kQuorvelPayloadOid, values}}}});
}

// A PE whose table is given, with the payload signing the image (for a valid table).
Bytes PeWithTable(bool pe32plus, const Bytes& table) {
    return AppendCertificateTable(MakeUnsignedPe(SignedPeOptions{pe32plus, 0, {}}), table);
}

void WriteImages(SeedWriter& out, const TestKey& key) {
    const Bytes payload = MakeSignedPayload(key, Digest{}, "example.org");
    for (const bool pe32plus : {true, false}) {
        const std::string kind = pe32plus ? "pe32plus" : "pe32";
        const Bytes image = MakeUnsignedPe(SignedPeOptions{pe32plus, 0, {}});
        out.Write("image", kind + "_unsigned", image);
        out.Write("image", kind + "_quorvel",
                  SignPe(image, key, "example.org", Container::kQuorvelEntry));
        out.Write("image", kind + "_authenticode",
                  SignPe(image, key, "signer.example", Container::kAuthenticode));
        out.Write("image", kind + "_two_payloads",
                  PeWithTable(pe32plus, Concat({MakeQuorvelEntry(payload),
                                                MakeAuthenticodeEntry(SignedAttributeMessage(
                                                    {DerOctetString(payload)}))})));
    }
    const Bytes image = MakeUnsignedPe(SignedPeOptions{});
    out.Write("image", "empty_domain", SignPe(image, key, "", Container::kQuorvelEntry));
    out.Write("image", "long_domain",
              SignPe(image, key, std::string(255, 'd'), Container::kQuorvelEntry));
    out.Write("image", "utf8_domain",
              SignPe(image, key,
                     "b\xC3\xBC"
                     "cher.\xE4\xBE\x8B.example",
                     Container::kQuorvelEntry));

    QuorvelEntryFields version2;
    version2.container_version = 2;
    out.Write("image", "container_version_2",
              PeWithTable(true, MakeQuorvelEntry(payload, version2)));
    QuorvelEntryFields short_length;
    short_length.payload_length = 351;
    out.Write("image", "payload_length_351",
              PeWithTable(true, MakeQuorvelEntry(payload, short_length)));
    out.Write("image", "other_entry_then_quorvel",
              PeWithTable(true, Concat({MakeWinCertificate(0x0200, 0x0001, Repeat(0x42, 13)),
                                        MakeQuorvelEntry(payload)})));
    out.Write("image", "attribute_without_good_value",
              PeWithTable(true, MakeAuthenticodeEntry(SignedAttributeMessage(
                                    {Concat({DerOctetString(payload), Bytes{0x00}})}))));
    out.Write("image", "wrapped_value",
              PeWithTable(false, MakeAuthenticodeEntry(SignedAttributeMessage({DerSequence(
                                     Concat({DerOctetString(payload), DerNull()}))}))));

    PeBuilder middle(true);
    middle.AddSection(".text", 0x400, 0x11).AddSection(".data", 0x200, 0x22);
    middle.SetCertificateTable(MakeQuorvelEntry(payload), TablePlacement::kAfterFirstSection);
    out.Write("image", "table_in_the_middle", middle.Build().bytes);
    PeBuilder gapped(false);
    gapped.AddSection(".text", 0x200, 0x33).SetGap(24).SetTrailing(Repeat(0x7E, 40));
    gapped.SetCertificateTable(MakeQuorvelEntry(payload));
    out.Write("image", "gap_and_trailing", gapped.Build().bytes);
    PeBuilder hostile(true);
    hostile.AddSection(".text", 0x200, 0x44).OverrideDirectory(0x204, 0x100);
    out.Write("image", "misaligned_directory", hostile.Build().bytes);
}

void WriteValues(SeedWriter& out, const TestKey& key) {
    const Bytes payload = MakeSignedPayload(key, Digest{}, "values.example");
    out.Write("payload_value", "raw", payload);
    out.Write("payload_value", "octet_string", DerOctetString(payload));
    out.Write("payload_value", "octet_string_3_length_bytes", DerOctetString(payload, 3));
    out.Write("payload_value", "octet_string_8_length_bytes", DerOctetString(payload, 8));
    out.Write("payload_value", "sequence_with_tail",
              DerSequence(Concat({DerOctetString(payload), DerNull()})));
    out.Write("payload_value", "set", DerSet(DerOctetString(payload)));
    out.Write("payload_value", "octet_string_extra_byte",
              Concat({DerOctetString(payload), Bytes{0x00}}));
    out.Write("payload_value", "raw_351", Bytes(payload.begin(), payload.end() - 1));
    out.Write("payload_value", "bad_domain",
              MakePayloadWithDomainField(PatternSignature(1), PatternKeyId(2),
                                         Concat({FromText("\xED\xA0\x80"), Repeat(0, 253)})));
    out.Write("payload_value", "full_domain_field",
              MakePayload(PatternSignature(3), PatternKeyId(4), std::string(256, 'x')));
}

void WritePkcs7(SeedWriter& out, const TestKey& key) {
    const Bytes payload = MakeSignedPayload(key, Digest{}, "pkcs7.example");
    const Bytes good = SignedAttributeMessage({DerOctetString(payload)});
    const std::vector<std::pair<std::string, Bytes>> messages = {
        {"octet_string", good},
        {"raw", SignedAttributeMessage({payload})},
        {"bad_then_good",
         SignedAttributeMessage({DerOctetString(Repeat(0x01, 10)), DerOctetString(payload)})},
        {"two_attributes",
         MakeSignedData({SignerSpec{
             {AttributeSpec{"1.2.840.113549.1.9.6", {DerNull()}},
              AttributeSpec{kQuorvelPayloadOid, {DerSequence(DerOctetString(payload))}}}}})},
        {"second_signer_only",
         MakeSignedData({SignerSpec{}, SignerSpec{{AttributeSpec{kQuorvelPayloadOid,
                                                                 {DerOctetString(payload)}}}}})},
        {"nested", MakeSignedDataWithNested(good)},
        {"no_attributes", MakeSignedData({SignerSpec{}})},
    };
    for (const auto& [name, message] : messages) {
        for (const unsigned char stop : Bytes{0, 1, 2}) {
            out.Write("pkcs7_attributes", name + "_stop" + std::to_string(stop),
                      Concat({Bytes{stop}, message}));
        }
    }
}

std::string KeyDocument(const std::string& x, const std::string& kid, const std::string& state,
                        const std::string& extra) {
    return R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":")" + x + R"(","kid":")" + kid +
           R"("},"status":{"state":")" + state + "\"}" + extra + "}";
}

void WriteKeyDocuments(SeedWriter& out, const TestKey& key, const fs::path& json_dir) {
    const std::string x = Base64Url(key.public_key.data(), key.public_key.size());
    const KeyId id = JwkThumbprint(key.public_key);
    const std::string kid = Base64Url(id.data(), id.size());
    const std::vector<std::pair<std::string, std::string>> documents = {
        {"active", KeyDocument(x, kid, "active", "")},
        {"revoked", KeyDocument(x, kid, "revoked", R"(,"description":"Release key 2026")")},
        {"description_escapes",
         KeyDocument(x, kid, "active", R"(,"description":"a\u0000b \u00fc\ud83d\ude00")")},
        {"description_null", KeyDocument(x, kid, "active", R"(,"description":null)")},
        {"bom", "\xEF\xBB\xBF" + KeyDocument(x, kid, "active", "")},
        {"padded_x", KeyDocument(x + "=", kid, "active", "")},
        {"other_state", KeyDocument(x, kid, "Active", "")},
        {"nested_arrays", std::string(200, '[') + std::string(200, ']')},
    };
    for (const auto& [name, document] : documents) {
        out.Write("key_document", name, FromText(kid + document));
    }
    if (json_dir.empty() || !fs::is_directory(json_dir)) {
        return;
    }
    for (const auto& entry : fs::directory_iterator(json_dir)) {
        if (entry.is_regular_file()) {
            out.Write("key_document", "json_" + entry.path().filename().string(),
                      Concat({FromText(kJsonKeyId), ReadFile(entry.path().string())}));
        }
    }
}

void WriteStreams(SeedWriter& out, unsigned char key_byte) {
    const TestKey key = KeyFromSeedByte(key_byte);
    const Bytes image = MakeUnsignedPe(SignedPeOptions{});
    const Bytes signed_quorvel = SignPe(image, key, "stream.example", Container::kQuorvelEntry);
    const Bytes signed_authenticode = SignPe(MakeUnsignedPe(SignedPeOptions{false, 0, {}}), key,
                                             "stream.example", Container::kAuthenticode);
    const TestKey other = KeyFromSeedByte(static_cast<unsigned char>(key_byte + 1));
    const Bytes other_signed = SignPe(image, other, "other.example", Container::kQuorvelEntry);
    Bytes not_pe = signed_quorvel;
    not_pe[0] = 'X';
    const Bytes empty;
    const Bytes head(signed_quorvel.begin(), signed_quorvel.begin() + 64);
    const Bytes one_byte(signed_quorvel.begin(), signed_quorvel.begin() + 1);
    struct Scenario {
        const char* name;
        std::array<unsigned char, kStreamControlBytes> control;
        const Bytes* file;
    };
    const std::vector<Scenario> scenarios = {
        {"read_quorvel", {0x00, 0x80, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"verify_quorvel", {0x01, 0x80, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"both_authenticode", {0x02, 0x80, 0x00, 0x00, key_byte}, &signed_authenticode},
        {"verify_other_key", {0x01, 0x80, 0x00, 0x00, key_byte}, &other_signed},
        {"short_reads", {0x02, 0x80, 0x07, 0x00, key_byte}, &signed_quorvel},
        {"no_close_no_record", {0x0E, 0x80, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"seek_end_fails", {0x02, 0x01, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"tell_negative", {0x02, 0x02, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"seek_start_fails", {0x02, 0x03, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"read_stops", {0x02, 0x04, 0x10, 0x40, key_byte}, &signed_quorvel},
        {"read_claims_more", {0x02, 0x05, 0x20, 0x01, key_byte}, &signed_quorvel},
        {"tell_claims_more", {0x02, 0x06, 0x00, 0x03, key_byte}, &signed_quorvel},
        {"tell_claims_less", {0x02, 0x07, 0x00, 0x07, key_byte}, &signed_quorvel},
        {"missing_tell", {0x52, 0x80, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"missing_key", {0x61, 0x80, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"key_from_file", {0x01, 0x80, 0x00, 0x00, 0xF0}, &signed_quorvel},
        {"unsigned", {0x02, 0x80, 0x00, 0x00, key_byte}, &image},
        {"not_pe", {0x02, 0x80, 0x00, 0x00, key_byte}, &not_pe},
        {"empty", {0x02, 0x80, 0x00, 0x00, key_byte}, &empty},
        {"one_byte", {0x02, 0x80, 0x00, 0x00, key_byte}, &one_byte},
        {"missing_handle", {0x12, 0x80, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"missing_io", {0x22, 0x80, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"missing_read", {0x32, 0x80, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"missing_seek", {0x42, 0x80, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"seek_end_fails_no_close", {0x0A, 0x01, 0x00, 0x00, key_byte}, &signed_quorvel},
        {"read_stops_one_short", {0x02, 0x04, 0x00, 63, key_byte}, &head},
    };
    for (const Scenario& scenario : scenarios) {
        out.Write(
            "file_stream", scenario.name,
            Concat({Bytes(scenario.control.begin(), scenario.control.end()), *scenario.file}));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fputs("usage: quorvel-fuzz-seeds OUT_DIR [JSON_DIR]\n", stderr);
        return 2;
    }
    try {
        SeedWriter out(argv[1]);
        const TestKey key = KeyFromSeedByte(0x5E);
        WriteImages(out, key);
        WriteValues(out, key);
        WritePkcs7(out, key);
        WriteKeyDocuments(out, key, argc == 3 ? fs::path(argv[2]) : fs::path());
        WriteStreams(out, 0x21);
        std::printf("%d seeds written to %s\n", out.count(), argv[1]);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "quorvel-fuzz-seeds: %s\n", failure.what());
        return 1;
    }
    return 0;
}
