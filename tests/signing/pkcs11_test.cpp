// A signing key in a PKCS#11 token: the URI parser, and the library against Debian's SoftHSM2
// with keys made by softhsm2-util (an imported seed) and opensc's pkcs11-tool.
#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "quorvel/quorvel_sign_pkcs11.h"
#include "quorvel_test/bytes.h"

namespace {

using quorvel_test::Bytes;

// The present attributes as "name=value;..." (the id in hex), to compare in one string.
std::string Describe(const quorvel_sign_pkcs11_uri& uri) {
    const std::pair<unsigned, std::string> texts[] = {
        {QUORVEL_SIGN_PKCS11_TOKEN, std::string("token=") + uri.token},
        {QUORVEL_SIGN_PKCS11_SERIAL, std::string("serial=") + uri.serial},
        {QUORVEL_SIGN_PKCS11_OBJECT, std::string("object=") + uri.object},
        {QUORVEL_SIGN_PKCS11_ID, "id=" + quorvel_test::ToHex(uri.id, uri.id_length)},
        {QUORVEL_SIGN_PKCS11_TYPE, "type"},
        {QUORVEL_SIGN_PKCS11_MODULE_PATH, std::string("module=") + uri.module_path},
        {QUORVEL_SIGN_PKCS11_PIN_SOURCE, std::string("pin=") + uri.pin_source},
        {QUORVEL_SIGN_PKCS11_PIN_VALUE, "pin-value"}};
    std::string out;
    for (const auto& [bit, text] : texts) {
        out += (uri.present & bit) != 0 ? text + ";" : "";
    }
    return out;
}

std::string Repeat(const std::string& text, size_t times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

TEST(Pkcs11Uri, AttributesEscapesAndLimits) {
    struct Row {
        std::string text;
        int status;
        std::string parsed;
    };
    const int bad = QUORVEL_SIGN_ERR_PKCS11_URI;
    const Row rows[] = {
        {"pkcs11:", QUORVEL_SIGN_OK, ""},
        {"PKCS11:token=a", QUORVEL_SIGN_OK, "token=a;"},
        {"pkcs1:token=a", bad, ""},
        {"pkcs11:token=My%20Key;object=a%3bb&c", QUORVEL_SIGN_OK, "token=My Key;object=a;b&c;"},
        {"pkcs11:id=%01%fF%00", QUORVEL_SIGN_OK, "id=01ff00;"},
        {"pkcs11:id=", QUORVEL_SIGN_OK, "id=;"},
        {"pkcs11:id=%0", bad, ""},
        {"pkcs11:id=%0g", bad, ""},
        {"pkcs11:object=a%00", bad, ""},
        {"pkcs11:token=" + std::string(32, 't'), QUORVEL_SIGN_OK,
         "token=" + std::string(32, 't') + ";"},
        {"pkcs11:token=" + std::string(33, 't'), bad, ""},
        {"pkcs11:serial=" + std::string(15, '0') + "%31", QUORVEL_SIGN_OK,
         "serial=0000000000000001;"},
        {"pkcs11:serial=" + std::string(17, '0'), bad, ""},
        {"pkcs11:id=" + std::string(255, '1'), QUORVEL_SIGN_OK, "id=" + Repeat("31", 255) + ";"},
        {"pkcs11:id=" + std::string(256, '1'), bad, ""},
        {"pkcs11:token=a;token=a", bad, ""},
        {"pkcs11:token=a;", bad, ""},
        {"pkcs11:token", bad, ""},
        {"pkcs11:slot-id=1", bad, ""},
        {"pkcs11:x-vendor=1", bad, ""},
        {"pkcs11:module-path=/m.so", bad, ""},
        {"pkcs11:type=private?token=a", bad, ""},
        {"pkcs11:type=public", QUORVEL_SIGN_OK, "type;"},
        {"pkcs11:type=cert", bad, ""},
        {"pkcs11:token=a\n", bad, ""},
        {"pkcs11:object=k?module-path=/usr/lib/m%20.so&pin-source=file:/p?q", QUORVEL_SIGN_OK,
         "object=k;module=/usr/lib/m .so;pin=file:/p?q;"},
        {"pkcs11:object=k?pin-value=1234", QUORVEL_SIGN_ERR_PKCS11_PIN_IN_URI,
         "object=k;pin-value;"},
        {"pkcs11:object=k?pin-value=1234&pin-value=1", bad, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        quorvel_sign_pkcs11_uri uri;
        EXPECT_EQ(quorvel_sign_pkcs11_parse_uri(row.text.data(), row.text.size(), &uri),
                  row.status);
        EXPECT_EQ(Describe(uri), row.parsed);
    }
}

// A fresh SoftHSM2 token in a temporary folder (never the machine's own configuration) with
// three keys: a known seed imported by softhsm2-util (whose public key object holds the raw 32
// bytes and the curve's OID), an Ed25519 key and a P-256 key made by pkcs11-tool (the point
// DER-wrapped, the curve named "edwards25519").
class Pkcs11Token : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_GE(sodium_init(), 0);
        char pattern[] = "/tmp/quorvel-pkcs11-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::filesystem::create_directory(dir_ + "/tokens");
        quorvel_test::WriteFile(dir_ + "/softhsm2.conf",
                                quorvel_test::FromText("directories.tokendir = " + dir_ +
                                                       "/tokens\nobjectstore.backend = file\n"));
        ASSERT_EQ(setenv("SOFTHSM2_CONF", (dir_ + "/softhsm2.conf").c_str(), 1), 0);
        seed_.fill(0x5A);
        char pem[QUORVEL_SIGN_PRIVATE_KEY_PEM_BYTES];
        quorvel_sign_private_key_to_pem(seed_.data(), pem);
        quorvel_test::WriteFile(dir_ + "/seed.pem", Bytes(pem, pem + sizeof pem));
        const std::string tool = "pkcs11-tool --module " + std::string(kModule) +
                                 " --token-label quorvel --login --pin 0000 --keypairgen ";
        const std::string commands =
            "softhsm2-util --init-token --free --label quorvel --so-pin 1234 --pin 0000 && "
            "softhsm2-util --import " +
            dir_ +
            "/seed.pem --token quorvel --label imported --id 01 "
            "--pin 0000 && " +
            tool + "--key-type EC:edwards25519 --label made --id 02 && " + tool +
            "--key-type EC:prime256v1 --label p256 --id 03";
        ASSERT_EQ(std::system(("(" + commands + ") >/dev/null").c_str()), 0) << commands;
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    // The status of opening the URI's token with pin (null: none) and finding its key.
    static int Open(quorvel_sign_pkcs11_session* session, const std::string& text,
                    const char* pin = "0000", const char* module = kModule) {
        quorvel_sign_pkcs11_uri uri;
        int status = quorvel_sign_pkcs11_parse_uri(text.data(), text.size(), &uri);
        const auto* bytes = reinterpret_cast<const unsigned char*>(pin);
        status = status != QUORVEL_SIGN_OK
                     ? status
                     : quorvel_sign_pkcs11_open(session, &uri, module, bytes,
                                                pin != nullptr ? std::strlen(pin) : 0);
        return status != QUORVEL_SIGN_OK ? status : quorvel_sign_pkcs11_find_key(session, &uri);
    }

    static constexpr const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";
    static inline std::string dir_;
    static inline std::array<unsigned char, QUORVEL_SIGN_SEED_BYTES> seed_;
};

// keygen on the token, then, in the same session, the imported seed signs exactly as the key
// file does: the same bytes, Ed25519 being deterministic. (A key that SoftHSM made itself is
// only found: SoftHSM leaks a little in each of its signatures.)
TEST_F(Pkcs11Token, GeneratesAndSignsAsTheKeyFileDoes) {
    quorvel_sign_pkcs11_session session;
    quorvel_sign_pkcs11_uri uri;
    const auto parse = [&uri](const std::string& text) {
        return quorvel_sign_pkcs11_parse_uri(text.data(), text.size(), &uri);
    };
    ASSERT_EQ(parse("pkcs11:token=quorvel;object=generated"), QUORVEL_SIGN_OK);
    ASSERT_EQ(quorvel_sign_pkcs11_open(&session, &uri, kModule,
                                       reinterpret_cast<const unsigned char*>("0000"), 4),
              QUORVEL_SIGN_OK);
    ASSERT_EQ(quorvel_sign_pkcs11_generate_key(&session, &uri), QUORVEL_SIGN_OK);
    EXPECT_EQ(uri.id_length, QUORVEL_SIGN_PKCS11_NEW_ID_BYTES);
    const Bytes generated(session.public_key, session.public_key + 32);
    uri.present &= ~QUORVEL_SIGN_PKCS11_ID;
    EXPECT_EQ(quorvel_sign_pkcs11_generate_key(&session, &uri), QUORVEL_SIGN_ERR_PKCS11_KEY_EXISTS);
    ASSERT_EQ(quorvel_sign_pkcs11_find_key(&session, &uri), QUORVEL_SIGN_OK);
    EXPECT_EQ(Bytes(session.public_key, session.public_key + 32), generated);

    ASSERT_EQ(parse("pkcs11:object=imported"), QUORVEL_SIGN_OK);
    ASSERT_EQ(quorvel_sign_pkcs11_find_key(&session, &uri), QUORVEL_SIGN_OK);
    quorvel_signer signer;
    ASSERT_EQ(quorvel_sign_pkcs11_signer(&session, &signer), QUORVEL_SIGN_OK);
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secretKey, seed_.data());
    EXPECT_EQ(Bytes(signer.public_key, signer.public_key + 32), Bytes(publicKey, publicKey + 32));
    for (const unsigned char first : Bytes{0, 1}) {  // one session, many signatures
        const unsigned char digest[QUORVEL_SIGN_MESSAGE_BYTES] = {first, 2, 3};
        unsigned char signature[QUORVEL_SIGN_SIGNATURE_BYTES], expected[crypto_sign_BYTES];
        crypto_sign_detached(expected, nullptr, digest, sizeof digest, secretKey);
        ASSERT_EQ(signer.sign(signer.context, digest, signature), QUORVEL_SIGN_OK);
        EXPECT_EQ(Bytes(signature, signature + 64), Bytes(expected, expected + 64));
    }
    quorvel_sign_pkcs11_close(&session);
    EXPECT_EQ(session.module, nullptr);
}

TEST_F(Pkcs11Token, EachFailureHasItsStatus) {
    struct Row {
        std::string uri;
        const char* pin;
        const char* module;
        int status;
    };
    const Row rows[] = {
        {"pkcs11:object=made", "0001", kModule, QUORVEL_SIGN_ERR_PKCS11_PIN_INCORRECT},
        {"pkcs11:object=made", nullptr, kModule, QUORVEL_SIGN_ERR_PKCS11_PIN_NEEDED},
        {"pkcs11:object=made", "0000", "/no/such/module.so", QUORVEL_SIGN_ERR_PKCS11_NO_MODULE},
        {"pkcs11:object=made", "0000", "libc.so.6", QUORVEL_SIGN_ERR_PKCS11_NOT_MODULE},
        {"pkcs11:object=made?module-path=/no/such/module.so", "0000", nullptr,
         QUORVEL_SIGN_ERR_PKCS11_NO_MODULE},
        {"pkcs11:token=other;object=made", "0000", kModule, QUORVEL_SIGN_ERR_PKCS11_NO_TOKEN},
        {"pkcs11:object=missing", "0000", kModule, QUORVEL_SIGN_ERR_PKCS11_NO_KEY},
        {"pkcs11:object=made;id=%01", "0000", kModule, QUORVEL_SIGN_ERR_PKCS11_NO_KEY},
        {"pkcs11:token=quorvel", "0000", kModule, QUORVEL_SIGN_ERR_PKCS11_AMBIGUOUS},
        {"pkcs11:id=%03", "0000", kModule, QUORVEL_SIGN_ERR_PKCS11_NOT_ED25519},
        {"pkcs11:id=%02", "0000", kModule, QUORVEL_SIGN_OK}, /* the curve's name, point in DER */
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.uri);
        quorvel_sign_pkcs11_session session;
        EXPECT_EQ(Open(&session, row.uri, row.pin, row.module), row.status);
        quorvel_sign_pkcs11_close(&session);
    }
}

}  // namespace
