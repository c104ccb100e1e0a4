// PKCS#7 SignedData messages for Authenticode entries, made with OpenSSL from self-signed
// test certificates generated in code. Native builds only.
#pragma once

#include <string>
#include <vector>

#include "quorvel_test/bytes.h"

namespace quorvel_test {

inline constexpr const char* kQuorvelPayloadOid = "1.3.6.1.4.1.57931.1.1";
inline constexpr const char* kNestedSignatureOid = "1.3.6.1.4.1.311.2.4.1";

// One unauthenticated attribute. Each value is written verbatim as its complete encoding,
// so malformed encodings reach the file as given. A value that is not one well-formed
// element makes the whole message undecodable. DER sorts SET OF members on output, so
// values and attributes appear in the message in encoding order, not necessarily in the
// order given here.
struct AttributeSpec {
    std::string oid;
    std::vector<Bytes> values;
};

struct SignerSpec {
    std::vector<AttributeSpec> unauthenticated;
};

// A SignedData ContentInfo (DER) with one signer per entry of signers, each with its own test
// certificate. Throws std::runtime_error when OpenSSL fails, or when DER sorting would put
// the signers in another order than given.
Bytes MakeSignedData(const std::vector<SignerSpec>& signers);

// Adds an unauthenticated attribute to signer 0 of an existing DER PKCS#7 message and
// returns the re-encoded message. Throws std::runtime_error when it cannot be decoded.
Bytes AddAttributeToFirstSigner(const Bytes& pkcs7_der, const AttributeSpec& attribute);

// A SignedData whose signer 0 carries a nested-signature attribute whose value is a whole
// SignedData (given, e.g. from MakeSignedData).
Bytes MakeSignedDataWithNested(const Bytes& nested_pkcs7_der);

}  // namespace quorvel_test
