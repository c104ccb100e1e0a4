// quorvel-fuzz-seeds OUT_DIR [JSON_DIR]: the starting corpus of every fuzz target, made with
// the shared test builders, plus the hand-written JSON files of JSON_DIR for key_document.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/der.h"
#include "quorvel_test/pe_builder.h"
#include "quorvel_test/signed_pe.h"

namespace fs = std::filesystem;
using namespace quorvel_test;

namespace {

void Write(const fs::path& root, const std::string& target, const std::string& name,
           const Bytes& bytes) {
    fs::create_directories(root / target);
    WriteFile((root / target / name).string(), bytes);
}

Bytes Message(const std::vector<Bytes>& values) {
    return MakeSignedData({SignerSpec{{AttributeSpec{kQuorvelPayloadOid, values}}}});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3)
        return std::fputs("usage: quorvel-fuzz-seeds OUT_DIR [JSON_DIR]\n", stderr), 2;
    try {
        const fs::path out = argv[1];
        const unsigned char key_byte = 0x21;
        const TestKey key = KeyFromSeedByte(key_byte);
        const Bytes payload = MakeSignedPayload(key, Digest{}, "example.org");
        for (const bool plus : {true, false}) {
            const std::string kind = plus ? "pe32plus" : "pe32";
            const Bytes image = MakeUnsignedPe(SignedPeOptions{plus, 0, {}});
            const Bytes files[] = {
                image, SignPe(image, key, "example.org", Container::kQuorvelEntry),
                SignPe(image, key, "b\u00fccher.example", Container::kAuthenticode)};
            const char* names[] = {"_unsigned", "_quorvel", "_authenticode"};
            for (size_t i = 0; i < 3; ++i) {
                Write(out, "image", kind + names[i], files[i]);
                for (unsigned char options = 0; options < 4; ++options) {  // sign_image's byte
                    Write(out, "sign_image", kind + names[i] + std::to_string(options),
                          Concat({Bytes{options}, files[i]}));
                }
                // file_stream: plain, short reads, each stream fault, missing arguments.
                for (const Bytes& control :
                     {Bytes{0, 0x80, 0, 0, key_byte}, Bytes{3, 0x80, 7, 0, key_byte},
                      Bytes{0, 0x80, 0, 0, 0xF0}}) {
                    Write(out, "file_stream",
                          kind + names[i] + std::to_string(control[0]) + std::to_string(control[4]),
                          Concat({control, files[i]}));
                }
            }
            for (unsigned char fault = 1; fault < 8; ++fault) {
                Write(out, "file_stream", kind + "_fault" + std::to_string(fault),
                      Concat({Bytes{0, fault, 16, 40, key_byte}, files[1]}));
            }
            for (unsigned char missing = 1; missing < 7; ++missing) {
                Write(out, "file_stream", kind + "_missing" + std::to_string(missing),
                      Concat({Bytes{static_cast<unsigned char>(missing << 4), 0x80, 0, 0, key_byte},
                              files[1]}));
            }
        }
        const Bytes image = MakeUnsignedPe(SignedPeOptions{});
        Bytes moved = image;  // headers across the first 4 KiB, the block the scan reads first
        moved.insert(moved.begin() + 64, 4094 - GetLe32(image, 60), 0);
        PutLe32(moved, 60, 4094);
        Write(out, "file_stream", "headers_at_4094",
              Concat({Bytes{0, 0x80, 0, 0, key_byte}, SignPe(moved, key, "m.example", {})}));
        Write(out, "image", "two_payloads",
              AppendCertificateTable(
                  image, Concat({MakeQuorvelEntry(payload),
                                 MakeAuthenticodeEntry(Message({DerOctetString(payload)}))})));

        const Bytes values[] = {
            payload,
            DerOctetString(payload),
            DerOctetString(payload, 8),
            DerSequence(Concat({DerOctetString(payload), DerNull()})),
            DerSet(DerOctetString(payload)),
            Concat({DerOctetString(payload), Bytes{0x00}}),
            MakePayload(PatternSignature(3), PatternKeyId(4), std::string(255, 'x'))};
        for (size_t i = 0; i < std::size(values); ++i) {
            Write(out, "payload_value", "value" + std::to_string(i), values[i]);
            Write(out, "pkcs7_attributes", "value" + std::to_string(i),
                  Concat({Bytes{static_cast<unsigned char>(i % 3)}, Message({values[i]})}));
        }
        Write(out, "pkcs7_attributes", "bad_then_good",
              Concat({Bytes{0}, Message({DerOctetString(Bytes(10, 1)), DerOctetString(payload)})}));
        Write(
            out, "pkcs7_attributes", "second_signer_nested",
            Concat({Bytes{2}, MakeSignedDataWithNested(MakeSignedData(
                                  {SignerSpec{{AttributeSpec{"1.2.840.113549.1.9.6", {DerNull()}}}},
                                   SignerSpec{{AttributeSpec{kQuorvelPayloadOid, {payload}}}}}))}));

        const std::string x = Base64Url(key.public_key.data(), key.public_key.size());
        const KeyId id = JwkThumbprint(key.public_key);
        const std::string kid = Base64Url(id.data(), id.size());
        for (const char* extra : {"", R"(,"description":"a\u0000b \u00fc\ud83d\ude00")"}) {
            for (const char* state : {"active", "revoked"}) {
                Write(out, "key_document", std::string(state) + std::to_string(std::strlen(extra)),
                      FromText(kid + R"({"jwk":{"kty":"OKP","crv":"Ed25519","x":")" + x +
                               R"(","kid":")" + kid + R"("},"status":{"state":")" + state + "\"}" +
                               extra + "}"));
            }
        }
        if (argc == 3) {
            for (const auto& entry : fs::directory_iterator(argv[2])) {
                Write(out, "key_document", entry.path().filename().string(),
                      Concat({FromText(std::string(43, 'A')), ReadFile(entry.path().string())}));
            }
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "quorvel-fuzz-seeds: %s\n", failure.what());
        return 1;
    }
    return 0;
}
