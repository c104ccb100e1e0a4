// Test-side access to the loopback key server.
#include "keyserver/keyserver_client.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace keyserver {
namespace {

const char* const kListenerNames[] = {"trusted", "untrusted", "wronghost", "plain",
                                      "silent",  "blackhole", "closed"};

long ProcessId() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

std::string Base64(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (unsigned{static_cast<unsigned char>(bytes[i])} << 16) |
                           (unsigned{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                           unsigned{static_cast<unsigned char>(bytes[i + 2])};
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) {
            v |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    out = content.str();
    return true;
}

std::string StringMember(const rapidjson::Value& object, const char* name) {
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) {
        return std::string();
    }
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

std::string JoinPath(const std::string& dir, const char* name) {
#ifdef _WIN32
    return dir + "\\" + name;
#else
    return dir + "/" + name;
#endif
}

}  // namespace

std::string NativePath(const std::string& linuxPath) {
#ifdef _WIN32
    std::string path = linuxPath;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    if (!path.empty() && path[0] == '\\') {
        path = "Z:" + path;
    }
    return path;
#else
    return linuxPath;
#endif
}

std::string UniqueName(std::string_view tag) {
    static std::atomic<unsigned> counter{0};
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::string(tag) + "-" + std::to_string(ProcessId()) + "-" +
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
    if (dir == nullptr || dir[0] == '\0') {
        if (error != nullptr) {
            *error = std::string(kStateDirVariable) + " is not set: run this test through CTest";
        }
        return false;
    }
    return Open(dir, error);
}

bool Client::Open(const std::string& linuxStateDir, std::string* error) {
    linuxDir_ = linuxStateDir;
    std::string text;
    const std::string portsFile = JoinPath(StateDir(), "ports.json");
    if (!ReadFile(portsFile, text)) {
        if (error != nullptr) {
            *error = "cannot read " + portsFile + ": is the key server fixture running?";
        }
        return false;
    }
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError() || !document.IsObject()) {
        if (error != nullptr) {
            *error = "unreadable " + portsFile;
        }
        return false;
    }
    // A const view: a const iterator compared with a mutable one is ambiguous in C++20.
    const rapidjson::Value& root = document;
    for (std::size_t i = 0; i < std::size(kListenerNames); ++i) {
        const auto member = root.FindMember(kListenerNames[i]);
        if (member == root.MemberEnd() || !member->value.IsInt()) {
            if (error != nullptr) {
                *error = std::string("no port for ") + kListenerNames[i] + " in " + portsFile;
            }
            return false;
        }
        ports_[i] = member->value.GetInt();
    }
    const auto verified = root.FindMember("blackhole_verified");
    blackholeVerified_ =
        verified != root.MemberEnd() && verified->value.IsBool() && verified->value.GetBool();
    return true;
}

int Client::Port(Listener listener) const {
    return ports_[static_cast<std::size_t>(listener)];
}

std::string Client::Domain(Listener listener) const {
    return "127.0.0.1:" + std::to_string(Port(listener));
}

std::string Client::Url(Listener listener, std::string_view path) const {
    const char* scheme = listener == Listener::Plain ? "http://" : "https://";
    return scheme + Domain(listener) + std::string(path);
}

std::string Client::CaFile() const {
    return NativePath(linuxDir_ + "/pki/ca.pem");
}

std::string Client::StateDir() const {
    return NativePath(linuxDir_);
}

bool Client::PutRoute(std::string_view target, const Route& route, std::string* error) const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> json(buffer);
    json.StartObject();
    json.Key("status");
    json.Int(route.status);
    if (!route.reason.empty()) {
        json.Key("reason");
        json.String(route.reason.c_str());
    }
    json.Key("body_base64");
    const std::string body = Base64(route.body);
    json.String(body.c_str());
    if (!route.contentType.empty()) {
        json.Key("content_type");
        json.String(route.contentType.c_str());
    }
    json.Key("headers");
    json.StartArray();
    for (const auto& [name, value] : route.headers) {
        json.StartArray();
        json.String(name.c_str());
        json.String(value.c_str());
        json.EndArray();
    }
    json.EndArray();
    if (!route.location.empty()) {
        json.Key("location");
        json.String(route.location.c_str());
    }
    json.Key("content_length");
    if (route.declaredLength >= 0) {
        json.Int64(route.declaredLength);
    } else {
        json.Bool(route.sendContentLength);
    }
    json.Key("chunked");
    json.Bool(route.chunked);
    if (!route.chunkSizes.empty()) {
        json.Key("chunk_sizes");
        json.StartArray();
        for (const std::size_t size : route.chunkSizes) {
            json.Uint64(size);
        }
        json.EndArray();
    }
    json.Key("delay_ms");
    json.Int(route.delayMs);
    json.Key("headers_delay_ms");
    json.Int(route.headersDelayMs);
    json.Key("silent_seconds");
    json.Int(route.silentSeconds);
    if (route.closeAfterBytes >= 0) {
        json.Key("close_after_bytes");
        json.Int64(route.closeAfterBytes);
    }
    if (route.resetAfterBytes >= 0) {
        json.Key("reset_after_bytes");
        json.Int64(route.resetAfterBytes);
    }
    if (!route.listener.empty()) {
        json.Key("listener");
        json.String(route.listener.c_str());
    }
    json.EndObject();
    return PutRouteJson(target, std::string_view(buffer.GetString(), buffer.GetSize()), error);
}

bool Client::PutRouteJson(std::string_view target, std::string_view json,
                          std::string* error) const {
    namespace fs = std::filesystem;
    const std::string routes = JoinPath(StateDir(), "routes");
    const std::string finalPath = JoinPath(routes, (Hex(target) + ".json").c_str());
    const std::string tempPath = JoinPath(routes, (".tmp-" + UniqueName("route")).c_str());
    {
        std::ofstream out(tempPath, std::ios::binary | std::ios::trunc);
        out.write(json.data(), static_cast<std::streamsize>(json.size()));
        if (!out) {
            if (error != nullptr) {
                *error = "cannot write " + tempPath;
            }
            return false;
        }
    }
    std::error_code ec;
#ifdef _WIN32
    // Replacing by rename is not assured here; a route is written once per test in practice.
    fs::remove(finalPath, ec);
#endif
    fs::rename(tempPath, finalPath, ec);
    if (ec) {
        if (error != nullptr) {
            *error = "cannot store route " + finalPath + ": " + ec.message();
        }
        fs::remove(tempPath, ec);
        return false;
    }
    return true;
}

std::vector<LoggedRequest> Client::Requests() const {
    std::vector<LoggedRequest> requests;
    std::ifstream in(JoinPath(StateDir(), "requests.log"), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        rapidjson::Document document;
        document.Parse(line.c_str(), line.size());
        if (document.HasParseError() || !document.IsObject()) {
            continue;  // a line still being written
        }
        LoggedRequest request;
        request.listener = StringMember(document, "listener");
        request.method = StringMember(document, "method");
        request.target = StringMember(document, "target");
        request.path = StringMember(document, "path");
        request.version = StringMember(document, "version");
        request.userAgent = StringMember(document, "user_agent");
        const rapidjson::Value& root = document;  // const view, as above
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

std::vector<LoggedRequest> Client::RequestsFor(std::string_view path) const {
    std::vector<LoggedRequest> matching;
    for (LoggedRequest& request : Requests()) {
        if (request.path == path) {
            matching.push_back(std::move(request));
        }
    }
    return matching;
}

}  // namespace keyserver
