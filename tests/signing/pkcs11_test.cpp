// A signing key in a PKCS#11 token: the URI parser, then the library and quorvel-sign against
// Debian's SoftHSM2 with keys made by softhsm2-util (an imported seed) and opensc's pkcs11-tool.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/wait.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "quorvel/quorvel_sign_pkcs11.h"
#include "quorvel_test/bytes.h"
#include "quorvel_test/pe_builder.h"

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
// file does: the same bytes, Ed25519 being deterministic.
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

struct Outcome {
    int exitCode = -1;
    std::string output;  // standard output and error
};

// quorvel-sign (or another program) through the shell, with env (e.g. "A=b ") before it.
Outcome Program(const std::string& env, const std::string& program, const std::string& arguments) {
    std::FILE* pipe = popen((env + "'" + program + "' " + arguments + " 2>&1").c_str(), "r");
    Outcome run;
    char buffer[4096];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run.output.append(buffer, n);
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

Outcome Sign(const std::string& arguments, const std::string& env = "QUORVEL_PKCS11_PIN=0000 ") {
    return Program(env, QUORVEL_SIGN_EXECUTABLE, arguments);
}

// The program with the token's key: its key document verifies what it signs, and the file is
// the same as with the key file of the imported seed. keygen's new key, made on the token, is
// named by the URI it prints, and signs what its key document verifies.
TEST_F(Pkcs11Token, ProgramSignsAsWithTheKeyFile) {
    quorvel_test::PeBuilder builder(true);
    builder.AddSection(".text", 0x200, 0x22);
    quorvel_test::WriteFile(dir_ + "/app.exe", builder.Build().bytes);
    quorvel_test::WriteFile(dir_ + "/pin", quorvel_test::FromText("0000\n"));
    const std::string module = std::string("module-path=") + kModule;
    const std::string token = "'pkcs11:token=quorvel;object=imported?" + module;
    Outcome run = Sign("key-document --key " + token + "&pin-source=file:" + dir_ + "/pin' -o " +
                           dir_ + "/key.json",
                       "");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string out = " " + dir_ + "/app.exe -o " + dir_;
    run = Sign("sign --domain example.com --key " + token + "'" + out + "/token.exe");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    run = Sign("sign --domain example.com --key " + dir_ + "/seed.pem" + out + "/file.exe");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(quorvel_test::ReadFile(dir_ + "/token.exe"),
              quorvel_test::ReadFile(dir_ + "/file.exe"));
    run = Program(
        "", QUORVEL_VERIFY_EXECUTABLE,
        "--offline --key-document example.com=" + dir_ + "/key.json " + dir_ + "/token.exe");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Quorvel: verified"), std::string::npos) << run.output;

    const Outcome made = Sign("keygen 'pkcs11:object=program?" + module + "'");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string named = "the new key is ";
    const std::size_t at = made.output.find(named) + named.size();
    const std::string uri = made.output.substr(at, made.output.find('\n', at) - at);
    EXPECT_EQ(uri.find("pkcs11:object=program;id=%"), 0U) << uri;
    run = Sign("key-document --key '" + uri + "' -o " + dir_ + "/made.json");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const Bytes bytes = quorvel_test::ReadFile(dir_ + "/made.json");
    const std::string document(bytes.begin(), bytes.end());
    const std::size_t kid = document.find("\"kid\":\"");
    ASSERT_NE(kid, std::string::npos) << document;
    EXPECT_NE(made.output.find(document.substr(kid + 7, 43) + "\n"), std::string::npos)
        << made.output;
    run = Sign("sign --domain example.com --key '" + uri + "'" + out + "/made.exe");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    run = Program(
        "", QUORVEL_VERIFY_EXECUTABLE,
        "--offline --key-document example.com=" + dir_ + "/made.json " + dir_ + "/made.exe");
    EXPECT_NE(run.output.find("Quorvel: verified"), std::string::npos) << run.output;
}

TEST_F(Pkcs11Token, ProgramRefusalsSayWhy) {
    const std::string token = "'pkcs11:object=imported?module-path=" + std::string(kModule);
    struct Row {
        std::string key, env, message;
    };
    const Row rows[] = {
        {token + "'", "QUORVEL_PKCS11_PIN=93175 ", "quorvel-sign: wrong PIN for the token\n"},
        {token + "&pin-value=0000'", "", "visible to other users in the process list"},
        {"'pkcs11:object=missing?module-path=" + std::string(kModule) + "'",
         "QUORVEL_PKCS11_PIN=0000 ", "no such key"},
        {"'pkcs11:object=imported' --pkcs11-module /no/such.so", "",
         "/no/such.so: no such PKCS#11 module"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        const Outcome run = Sign(
            "sign --domain example.com -o " + dir_ + "/out.exe --key " + row.key + " /bin/true",
            row.env);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.output.find(row.message), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("93175"), std::string::npos) << "the PIN is never echoed";
        EXPECT_FALSE(std::filesystem::exists(dir_ + "/out.exe"));
    }
}

}  // namespace
