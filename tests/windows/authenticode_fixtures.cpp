// quorvel-authenticode-fixtures DIR writes the files of authenticode_fixtures.h: a message for
// each way crypt32 could answer otherwise than OpenSSL, and the Authenticode-signed PE and key.
#include "authenticode_fixtures.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "quorvel/quorvel_sign.h"
#include "quorvel_test/authenticode_builder.h"
#include "quorvel_test/cert_entries.h"
#include "quorvel_test/der.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"

namespace {

using namespace quorvel_test;

AttributeSpec Quorvel(std::vector<Bytes> values) { return {kQuorvelPayloadOid, std::move(values)}; }

Bytes OneSigner(std::vector<AttributeSpec> each) {
    return MakeSignedData({SignerSpec{std::move(each)}});
}

std::vector<std::pair<std::string, Bytes>> Messages() {
    const Bytes payload = MakePayload(PatternSignature(1), PatternKeyId(1), "authenticode.example");
    const Bytes good = DerOctetString(payload);
    const Bytes other = DerOctetString(MakePayload(PatternSignature(2), PatternKeyId(2), "b.ex"));
    const Bytes withPayload = OneSigner({Quorvel({good})});
    // SignedData's identifier 1.2.840.113549.1.7.2 with its last arc made 1 (plain data).
    Bytes notSignedData = withPayload;
    const Bytes oid = FromHex("06092a864886f70d010702");
    std::search(notSignedData.begin(), notSignedData.end(), oid.begin(), oid.end())[10] = 0x01;
    return {
        {"one-payload", withPayload},
        {"attributes-and-values-around",
         OneSigner({{"1.2.3.4.5", {DerNull(), DerSequence(good)}},
                    Quorvel({DerNull(), good}),
                    {"2.5.4.3", {DerOctetString(Bytes(3, 0x41))}}})},
        {"two-payload-attributes", OneSigner({Quorvel({good}), Quorvel({other})})},
        {"attribute-without-values", OneSigner({Quorvel({})})},
        {"signer-without-attributes", OneSigner({})},
        {"nested-signature-only", MakeSignedDataWithNested(withPayload)},
        {"message-then-entry-padding", Concat({withPayload, Bytes(7, 0x00)})},
        {"not-signed-data", notSignedData},
        {"truncated", Bytes(withPayload.begin(), withPayload.end() - 20)},
        {"non-minimal-length", OneSigner({Quorvel({DerOctetString(payload, 3)})})},
    };
}

}  // namespace

int main(int argc, char** argv) {
    using namespace windows_fixtures;
    if (argc != 2) return 2;
    const std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    std::ofstream expected(dir + "/" + kExpectedFile, std::ios::binary);
    for (const auto& [name, der] : Messages()) {
        WriteFile(dir + "/" + name + ".p7b", der);
        expected << name << ' ' << DescribeMessage(der) << '\n';
    }
    const TestKey key = KeyFromSeedByte(kSignedFileSeed);
    WriteFile(dir + "/" + kSignedFile,
              SignPe(MakeUnsignedPe({}), key, "authenticode.example", Container::kAuthenticode));
    char pem[QUORVEL_SIGN_PRIVATE_KEY_PEM_BYTES];
    const bool pemMade = quorvel_sign_private_key_to_pem(key.seed.data(), pem) == 0;
    WriteFile(dir + "/authenticode-signed.key", Bytes(pem, pem + sizeof pem));
    return pemMade && expected.good() ? 0 : 1;  // a builder's exception ends it with a failure
}
