// quorvel-make-fixture: makes signed test files and key material from a 32-byte seed.
//
//   quorvel-make-fixture signed-pe --seed HEX64 --domain DOMAIN --out FILE
//                        [--container quorvel|authenticode] [--pe32] [--size BYTES]
//   quorvel-make-fixture key-id --seed HEX64
//   quorvel-make-fixture public-key --seed HEX64
//   quorvel-make-fixture key-document --seed HEX64 [--state active|revoked]
//                        [--description TEXT]
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "quorvel_test/bytes.h"
#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"

namespace {

using quorvel_test::Base64Url;

constexpr int kUsageError = 2;

int Usage() {
    std::fputs(
        "usage: quorvel-make-fixture signed-pe --seed HEX64 --domain DOMAIN --out FILE\n"
        "                            [--container quorvel|authenticode] [--pe32] [--size BYTES]\n"
        "       quorvel-make-fixture key-id --seed HEX64\n"
        "       quorvel-make-fixture public-key --seed HEX64\n"
        "       quorvel-make-fixture key-document --seed HEX64 [--state active|revoked]\n"
        "                            [--description TEXT]\n",
        stderr);
    return kUsageError;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

struct Arguments {
    std::string command;
    std::map<std::string, std::string> options;
    bool pe32 = false;
};

bool Parse(int argc, char** argv, Arguments& args) {
    if (argc < 2) {
        return false;
    }
    args.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--pe32") {
            args.pe32 = true;
            continue;
        }
        static const std::vector<std::string> kValued = {
            "--seed", "--domain", "--out", "--container", "--size", "--state", "--description"};
        bool known = false;
        for (const std::string& valued : kValued) {
            known = known || valued == name;
        }
        if (!known || i + 1 >= argc) {
            return false;
        }
        args.options[name] = argv[++i];
    }
    return true;
}

int Run(const Arguments& args) {
    const auto seed = args.options.find("--seed");
    if (seed == args.options.end()) {
        return Usage();
    }
    const quorvel_test::TestKey key = quorvel_test::KeyFromSeedHex(seed->second);
    if (args.command == "key-id") {
        const quorvel_test::KeyId kid = quorvel_test::JwkThumbprint(key.public_key);
        std::printf("%s\n", Base64Url(kid.data(), kid.size()).c_str());
        return 0;
    }
    if (args.command == "public-key") {
        std::printf("%s\n", Base64Url(key.public_key.data(), key.public_key.size()).c_str());
        return 0;
    }
    if (args.command == "key-document") {
        const auto state = args.options.find("--state");
        const std::string state_text = state == args.options.end() ? "active" : state->second;
        if (state_text != "active" && state_text != "revoked") {
            return Usage();
        }
        const quorvel_test::KeyId kid = quorvel_test::JwkThumbprint(key.public_key);
        std::string document = "{\"jwk\":{\"kty\":\"OKP\",\"crv\":\"Ed25519\",\"x\":\"" +
                               Base64Url(key.public_key.data(), key.public_key.size()) +
                               "\",\"kid\":\"" + Base64Url(kid.data(), kid.size()) +
                               "\"},\"status\":{\"state\":\"" + state_text + "\"}";
        const auto description = args.options.find("--description");
        if (description != args.options.end()) {
            document += ",\"description\":" + JsonString(description->second);
        }
        document += "}";
        std::printf("%s\n", document.c_str());
        return 0;
    }
    if (args.command == "signed-pe") {
        const auto domain = args.options.find("--domain");
        const auto out = args.options.find("--out");
        if (domain == args.options.end() || out == args.options.end()) {
            return Usage();
        }
        quorvel_test::SignedPeOptions options;
        options.pe32plus = !args.pe32;
        const auto container = args.options.find("--container");
        if (container != args.options.end()) {
            if (container->second == "authenticode") {
                options.container = quorvel_test::Container::kAuthenticode;
            } else if (container->second != "quorvel") {
                return Usage();
            }
        }
        const auto size = args.options.find("--size");
        if (size != args.options.end()) {
            options.approximate_size = std::stoull(size->second);
        }
        const quorvel_test::Bytes image = quorvel_test::SignPe(
            quorvel_test::MakeUnsignedPe(options), key, domain->second, options.container);
        quorvel_test::WriteFile(out->second, image);
        return 0;
    }
    return Usage();
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (!Parse(argc, argv, args)) {
        return Usage();
    }
    try {
        return Run(args);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quorvel-make-fixture: %s\n", error.what());
        return 1;
    }
}
