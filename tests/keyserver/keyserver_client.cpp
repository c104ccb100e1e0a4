// Test-side access to the loopback key server.
#include "keyserver/keyserver_client.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <process.h>
#define QUORVEL_GETPID _getpid
#else
#include <unistd.h>
#define QUORVEL_GETPID getpid
#endif

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace keyserver {
namespace {

const char* const kListenerNames[] = {"trusted", "untrusted", "wronghost", "silent", "closed"};

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        out += digits[static_cast<unsigned char>(c) >> 4];
        out += digits[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

std::string StringMember(const rapidjson::Value& object, const char* name) {
    const auto member = object.FindMember(name);
    return member != object.MemberEnd() && member->value.IsString()
               ? std::string(member->value.GetString(), member->value.GetStringLength())
               : std::string();
}

}  // namespace

std::string NativePath(std::string path) {
#ifdef _WIN32
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path.empty() || path[0] != '\\' ? path : "Z:" + path;
#else
    return path;
#endif
}

std::string UniqueName(std::string_view tag) {
    static std::atomic<unsigned> counter{0};
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::string(tag) + "-" + std::to_string(QUORVEL_GETPID()) + "-" +
           std::to_string(counter.fetch_add(1)) + "-" +
           std::to_string(static_cast<unsigned long long>(ticks) % 1000000007ULL);
}

std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return text;
}

bool Client::Open(std::string* error) {
    const char* dir = std::getenv(kStateDirVariable);
    return Open(dir != nullptr ? dir : "", error);
}

bool Client::Open(const std::string& linuxStateDir, std::string* error) {
    linuxDir_ = linuxStateDir;
    std::ifstream in(NativePath(linuxDir_ + "/ports.json"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    rapidjson::Document document;
    document.Parse(text.str().c_str());
    bool ok = !linuxDir_.empty() && !document.HasParseError() && document.IsObject();
    for (std::size_t i = 0; ok && i < std::size(kListenerNames); ++i) {
        const rapidjson::Value& root = document;  // const: C++20 finds the comparison ambiguous
        const auto member = root.FindMember(kListenerNames[i]);
        ok = member != root.MemberEnd() && member->value.IsInt();
        ports_[i] = ok ? member->value.GetInt() : 0;
    }
    if (!ok && error != nullptr) {
        *error = "no key server ports in \"" + linuxDir_ +
                 "\": run this test through CTest, with its key server fixture";
    }
    return ok;
}

std::string Client::Domain(Listener listener) const {
    return "127.0.0.1:" + std::to_string(Port(listener));
}

std::string Client::Url(Listener listener, std::string_view path) const {
    return "https://" + Domain(listener) + std::string(path);
}

std::string Client::CaFile() const { return NativePath(linuxDir_ + "/pki/ca.pem"); }

std::string Client::StateDir() const { return NativePath(linuxDir_); }

bool Client::PutRoute(std::string_view target, const Route& route, std::string* error) const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> json(buffer);
    json.StartObject();
    json.Key("status");
    json.Int(route.status);
    json.Key("body_hex");
    json.String(Hex(route.body).c_str());
    json.Key("location");
    json.String(route.location.c_str());
    json.Key("content_length");
    json.Bool(route.sendContentLength);
    json.Key("chunked");
    json.Bool(route.chunked);
    json.Key("chunk_sizes");
    json.StartArray();
    for (const std::size_t size : route.chunkSizes) {
        json.Uint64(size);
    }
    json.EndArray();
    json.Key("headers_delay_ms");
    json.Int(route.headersDelayMs);
    json.Key("silent_seconds");
    json.Int(route.silentSeconds);
    for (const auto& [name, bytes] : {std::pair{"close_after_bytes", route.closeAfterBytes},
                                      std::pair{"reset_after_bytes", route.resetAfterBytes}}) {
        if (bytes >= 0) {
            json.Key(name);
            json.Int64(bytes);
        }
    }
    json.EndObject();
    return PutRouteJson(target, std::string_view(buffer.GetString(), buffer.GetSize()), error);
}

bool Client::PutRouteJson(std::string_view target, std::string_view json,
                          std::string* error) const {
    // Written aside and renamed, so that the server never reads half a route.
    const std::string routes = StateDir() + "/routes/";
    const std::string temporary = routes + ".tmp-" + UniqueName("route");
    std::ofstream(temporary, std::ios::binary)
        .write(json.data(), static_cast<std::streamsize>(json.size()));
    std::error_code ec;
    std::filesystem::rename(temporary, routes + Hex(target) + ".json", ec);
    if (ec && error != nullptr) {
        *error = "cannot store the route for " + std::string(target) + ": " + ec.message();
    }
    return !ec;
}

std::vector<LoggedRequest> Client::RequestsFor(std::string_view target) const {
    std::vector<LoggedRequest> requests;
    std::ifstream in(StateDir() + "/requests.log", std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        rapidjson::Document document;
        document.Parse(line.c_str(), line.size());
        if (document.HasParseError() || !document.IsObject() ||
            StringMember(document, "target") != target) {
            continue;  // another request, or a line still being written
        }
        LoggedRequest request{StringMember(document, "listener"),
                              StringMember(document, "method"),
                              std::string(target),
                              StringMember(document, "user_agent"),
                              {}};
        const rapidjson::Value& root = document;
        const auto headers = root.FindMember("headers");
        if (headers != root.MemberEnd() && headers->value.IsArray()) {
            for (const auto& pair : headers->value.GetArray()) {
                if (pair.IsArray() && pair.Size() == 2 && pair[0].IsString() &&
                    pair[1].IsString()) {
                    request.headers.emplace_back(pair[0].GetString(), pair[1].GetString());
                }
            }
        }
        requests.push_back(std::move(request));
    }
    return requests;
}

}  // namespace keyserver
