#include "page_host_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quorvel_test/signed_pe.h"
#include "quorvel_test/signing.h"
#include "shell_test_support.h"

namespace page_host {

namespace {

constexpr char kWellKnownPrefix[] = "/.well-known/vantors/v1/";
constexpr DWORD kHostTimeoutMs = 90000;

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string KeyIdText(const quorvel_test::TestKey& key) {
    const quorvel_test::KeyId id = quorvel_test::JwkThumbprint(key.public_key);
    return quorvel_test::Base64Url(id.data(), id.size());
}

}  // namespace

KeyServer::KeyServer() {
    const char* state = std::getenv("QUORVEL_SHELL_KEYSERVER_STATE");
    ready_ = state != nullptr && client_.Open(state, nullptr);
}

std::string KeyServer::domain() const { return client_.Domain(keyserver::Listener::Trusted); }

bool KeyServer::PutRoute(const std::string& path, int status, const std::string& body,
                         int headersDelayMs) {
    keyserver::Route route;
    route.status = status;
    route.body = body;
    route.headersDelayMs = headersDelayMs;
    return client_.PutRoute(path, route, nullptr);
}

bool KeyServer::WasRequested(const std::string& path) const {
    return !client_.RequestsFor(path).empty();
}

Samples::Samples() {
    artifacts_ = shell_test::PathFromEnvironment("QUORVEL_SHELL_ARTIFACTS");
    if (!server_.ready()) {
        problem_ = "the key server's state (QUORVEL_SHELL_KEYSERVER_STATE) is not readable";
        return;
    }
    if (artifacts_.empty()) {
        problem_ = "QUORVEL_SHELL_ARTIFACTS is not set";
        return;
    }
    CreateDirectoryW(artifacts_.c_str(), nullptr);
    domain_ = server_.domain();

    // A real PE file, the host program itself, padded to a multiple of 8 for the table.
    baseImage_ = shell_test::ReadFileBytes(shell_test::HostPath());
    if (baseImage_.empty()) {
        problem_ = "cannot read the host program";
        return;
    }
    baseImage_.resize((baseImage_.size() + 7) / 8 * 8, '\0');

    const bool made =
        MakeSigned("verified", 0x31, "active", "Release key & build farm", true, 0, 0) &&
        MakeSigned("verified-nodesc", 0x32, "active", "", true, 0, 0) &&
        MakeSigned("revoked", 0x33, "revoked", "Retired 2025", true, 0, 0) &&
        MakeSigned("unknown-key", 0x34, "active", "", false, 0, 0) &&
        MakeSigned("wrong-kid", 0x35, "active", "", true, 0, 0x36) &&
        MakeSigned("slow", 0x37, "active", "", true, 3000, 0) &&
        shell_test::WriteFileBytes(Sample("unsigned"), baseImage_) &&
        shell_test::WriteFileBytes(Sample("text"), "This is not a program.\n");
    if (!made && problem_.empty()) {
        problem_ = "cannot write the samples or routes";
    }
}

bool Samples::MakeSigned(const std::string& name, unsigned char seed, const std::string& state,
                         const std::string& description, bool publish, int delayMs,
                         unsigned char kidSeed) {
    try {
        const quorvel_test::TestKey key = quorvel_test::KeyFromSeedByte(seed);
        const quorvel_test::Bytes image(baseImage_.begin(), baseImage_.end());
        const quorvel_test::Bytes signedImage =
            quorvel_test::SignPe(image, key, domain_, quorvel_test::Container::kQuorvelEntry);
        if (!shell_test::WriteFileBytes(Sample(name),
                                        std::string(signedImage.begin(), signedImage.end()))) {
            return false;
        }
        const std::string keyId = KeyIdText(key);
        const std::string path = kWellKnownPrefix + keyId;
        keyPaths_[name] = path;
        if (!publish) {
            return true;
        }
        const std::string kid =
            kidSeed != 0 ? KeyIdText(quorvel_test::KeyFromSeedByte(kidSeed)) : keyId;
        std::string document = "{\"jwk\": {\"kty\": \"OKP\", \"crv\": \"Ed25519\", \"x\": " +
                               JsonString(quorvel_test::Base64Url(key.public_key.data(),
                                                                  key.public_key.size())) +
                               ", \"kid\": " + JsonString(kid) + "}, \"status\": {\"state\": " +
                               JsonString(state) + "}";
        if (!description.empty()) {
            document += ", \"description\": " + JsonString(description);
        }
        document += "}";
        return server_.PutRoute(path, 200, document, delayMs);
    } catch (const std::exception& error) {
        problem_ = std::string("cannot make sample ") + name + ": " + error.what();
        return false;
    }
}

std::wstring Samples::Sample(const std::string& name) const {
    return artifacts_ + L"\\quorvel-" + shell_test::FromUtf8(name) + L".exe";
}

std::string Samples::KeyPath(const std::string& name) const {
    const auto found = keyPaths_.find(name);
    return found == keyPaths_.end() ? std::string() : found->second;
}

std::wstring Samples::ArtifactPath(const std::wstring& fileName) const {
    return artifacts_ + L"\\" + fileName;
}

HostRun RunHost(const std::vector<std::wstring>& args, const std::wstring& file) {
    std::wstring line = L"\"" + shell_test::HostPath() + L"\"";
    for (const std::wstring& arg : args) {
        line += L" \"" + arg + L"\"";
    }
    if (!file.empty()) {
        line += L" \"" + file + L"\"";
    }
    const shell_test::ProcessResult result = shell_test::RunProcess(line, kHostTimeoutMs);
    HostRun run;
    run.finished = result.finished;
    run.exitCode = result.exitCode;
    run.output = result.output;
    run.fields = shell_test::ParseHostOutput(result.output);
    return run;
}

size_t Bitmap::Count(COLORREF color) const {
    size_t count = 0;
    for (COLORREF pixel : pixels) {
        if (pixel == color) {
            ++count;
        }
    }
    return count;
}

Bitmap ReadBitmap(const std::wstring& path) {
    Bitmap bitmap;
    const std::string bytes = shell_test::ReadFileBytes(path);
    if (bytes.size() < sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) {
        return bitmap;
    }
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    std::memcpy(&file, bytes.data(), sizeof(file));
    std::memcpy(&info, bytes.data() + sizeof(file), sizeof(info));
    if (file.bfType != 0x4D42 || info.biBitCount != 24 || info.biWidth <= 0 || info.biHeight <= 0) {
        return bitmap;
    }
    bitmap.width = info.biWidth;
    bitmap.height = info.biHeight;
    const size_t stride = (static_cast<size_t>(bitmap.width) * 3 + 3) & ~static_cast<size_t>(3);
    if (file.bfOffBits + stride * static_cast<size_t>(bitmap.height) > bytes.size()) {
        return bitmap;
    }
    for (int row = 0; row < bitmap.height; ++row) {
        const auto* line = reinterpret_cast<const unsigned char*>(bytes.data()) + file.bfOffBits +
                           stride * static_cast<size_t>(row);
        for (int column = 0; column < bitmap.width; ++column) {
            const unsigned char* pixel = line + column * 3;
            bitmap.pixels.push_back(RGB(pixel[2], pixel[1], pixel[0]));
        }
    }
    bitmap.valid = true;
    return bitmap;
}

std::vector<std::string> ExpectedNoticeBlocks() {
    const char* sources = std::getenv("QUORVEL_SHELL_NOTICE_SOURCES");
    if (sources == nullptr) {
        return {};
    }
    const char* headings[] = {"Uses libquorvel: ", "Uses libcurl", "Uses libsodium:",
                              "Uses rapidjson:", "Uses Atkinson Hyperlegible:"};
    std::vector<std::string> blocks;
    std::string list = sources;
    size_t start = 0;
    for (const char* heading : headings) {
        const size_t end = list.find('|', start);
        const std::string unixPath = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string content = shell_test::ReadFileBytes(shell_test::WinePathFromUnix(unixPath));
        if (content.empty()) {
            return {};
        }
        std::string withoutCr;
        for (char c : content) {
            if (c != '\r') {
                withoutCr += c;
            }
        }
        blocks.push_back(std::string("\n") + heading + "\n\n" + withoutCr);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return blocks;
}

void ExpectNoticeText(const std::wstring& text, const std::vector<std::string>& blocks) {
    size_t total = 0;
    std::wstring expected;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (i > 0) {
            expected += L"\r\n\r\n";
        }
        expected += shell_test::FromUtf8(blocks[i]);
        total += blocks[i].size();
    }
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.size(), total + 4 * 4) << "five blocks and four separators of four units";
    EXPECT_EQ(text.front(), L'\n') << "starts with the first block's line feed";
    EXPECT_EQ(text.substr(0, 20), L"\nUses libquorvel: \n\n");
    EXPECT_EQ(text.back(), L'\n') << "ends with the last line feed of the font's licence";
    EXPECT_NE(text[text.size() - 2], L'\r') << "nothing after the last block";

    // Each separator sits between the line feed that ends a block and the one that starts the
    // next, and no other carriage return exists.
    const wchar_t* headings[] = {L"Uses libcurl\n\n", L"Uses libsodium:\n\n", L"Uses rapidjson:\n\n",
                                 L"Uses Atkinson Hyperlegible:\n\n"};
    size_t from = 0;
    for (const wchar_t* heading : headings) {
        const size_t at = text.find(std::wstring(L"\n\r\n\r\n\n") + heading, from);
        EXPECT_NE(at, std::wstring::npos) << "separator before " << shell_test::ToUtf8(heading);
        if (at != std::wstring::npos) {
            from = at + 1;
        }
    }
    size_t carriageReturns = 0;
    for (wchar_t c : text) {
        carriageReturns += c == L'\r' ? 1 : 0;
    }
    EXPECT_EQ(carriageReturns, 8U);
    EXPECT_TRUE(text == expected) << "the text differs from the blocks made from the licence files";
}

}  // namespace page_host
