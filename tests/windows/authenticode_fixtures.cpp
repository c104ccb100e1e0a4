// quorvel-authenticode-fixtures DIR: writes the files of authenticode_fixtures.h: each message
// for a way the platform's decoder could answer otherwise than OpenSSL's, and an
// Authenticode-signed PE with the PEM key that signed it.
#include "authenticode_fixtures.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"
#include "quorvel/quorvel_sign.h"

namespace {

using namespace quorvel_test;

AttributeSpec Quorvel(std::vector<Bytes> values) { return {kQuorvelPayloadOid, std::move(values)}; }

Bytes OneSigner(std::vector<AttributeSpec> attributes) {
    return MakeSignedData({SignerSpec{std::move(attributes)}});
}

std::vector<std::pair<std::string, Bytes>> Messages() {
    const Bytes payload = MakePayload(PatternSignature(1), PatternKeyId(1), "authenticode.example");
    const Bytes good = DerOctetString(payload);
    const Bytes other = DerOctetString(MakePayload(PatternSignature(2), PatternKeyId(2), "b.ex"));
    const Bytes withPayload = OneSigner({Quorvel({good})});
    // SignedData's identifier 1.2.840.113549.1.7.2 with its last arc made 1 (plain data).
    Bytes notSignedData = withPayload;
    const Bytes signedDataOid = FromHex("06092a864886f70d010702");
    *(std::search(notSignedData.begin(), notSignedData.end(), signedDataOid.begin(),
                  signedDataOid.end()) +
      10) = 0x01;
    return {
        {"one-payload", withPayload},
        {"attributes-and-values-around",
         OneSigner({AttributeSpec{"1.2.3.4.5", {DerNull(), DerSequence(good)}},
                    Quorvel({DerNull(), good}),
                    AttributeSpec{"2.5.4.3", {DerOctetString(Bytes(3, 0x41))}}})},
        {"two-payload-attributes", OneSigner({Quorvel({good}), Quorvel({other})})},
        {"attribute-without-values", OneSigner({Quorvel({})})},
        {"signer-without-attributes", OneSigner({})},
        {"nested-signature-only", MakeSignedDataWithNested(withPayload)},
        {"message-then-entry-padding", Concat({withPayload, Bytes(7, 0x00)})},
        {"not-signed-data", notSignedData},
        {"truncated", Bytes(withPayload.begin(), withPayload.end() - 20)},
        {"octet-string-non-minimal-length", OneSigner({Quorvel({DerOctetString(payload, 3)})})},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: quorvel-authenticode-fixtures DIR\n", stderr);
        return 2;
    }
    const std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    std::ofstream expected(dir + "/" + windows_fixtures::kExpectedFile, std::ios::binary);
    for (const auto& [name, der] : Messages()) {
        WriteFile(dir + "/" + name + ".p7b", der);
        expected << name << ' ' << windows_fixtures::DescribeMessage(der) << '\n';
    }
    const TestKey key = KeyFromSeedByte(windows_fixtures::kSignedFileSeed);
    WriteFile(dir + "/" + windows_fixtures::kSignedFile,
              SignPe(MakeUnsignedPe({}), key, windows_fixtures::kSignedFileDomain,
                     Container::kAuthenticode));
    char pem[QUORVEL_SIGN_PRIVATE_KEY_PEM_BYTES];
    if (quorvel_sign_private_key_to_pem(key.seed.data(), pem) != 0) {
        return 1;
    }
    WriteFile(dir + "/" + windows_fixtures::kSignedFileKey, Bytes(pem, pem + sizeof pem));
    return expected.good() ? 0 : 1;  // a builder's exception ends the program with a failure
}
