// PKCS#7 SignedData messages for Authenticode entries, made with OpenSSL from self-signed
// test certificates generated in code. Native builds only.
#pragma once

#include <string>
#include <vector>

#include "quorvel_test/bytes.h"

namespace quorvel_test {

inline constexpr const char* kQuorvelPayloadOid = "1.3.6.1.4.1.57931.1.1";

// An unauthenticated attribute; each value is written verbatim as its complete encoding (one
// that is not a single well-formed element makes the message undecodable). DER sorts SET OF
// members, so values and attributes appear in encoding order.
struct AttributeSpec {
    std::string oid;
    std::vector<Bytes> values;
};

struct SignerSpec {
    std::vector<AttributeSpec> unauthenticated;
};

// A SignedData ContentInfo (DER), one signer with its own certificate per entry, in the order
// given. Throws std::runtime_error when OpenSSL fails or DER sorting would change that order.
Bytes MakeSignedData(const std::vector<SignerSpec>& signers);

// pkcs7_der, which has one signer, re-encoded with attribute added to it (throws otherwise).
Bytes AddAttributeToFirstSigner(const Bytes& pkcs7_der, const AttributeSpec& attribute);

// A SignedData whose signer 0 has a nested-signature attribute holding nested_pkcs7_der.
inline Bytes MakeSignedDataWithNested(const Bytes& nested_pkcs7_der) {
    return MakeSignedData(
        {SignerSpec{{AttributeSpec{"1.3.6.1.4.1.311.2.4.1", {nested_pkcs7_der}}}}});
}

}  // namespace quorvel_test
