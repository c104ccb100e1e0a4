// Test-side access to the loopback key server.
#include "keyserver/keyserver_client.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

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

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
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
    std::random_device random;  // 64 random bits keep processes apart, the counter calls
    return std::string(tag) + "-" + std::to_string(random()) + std::to_string(random()) + "-" +
           std::to_string(counter.fetch_add(1));
}

bool Client::Open(std::string* error) {
    const char* dir = std::getenv("QUORVEL_KEYSERVER_DIR");
    return Open(dir != nullptr ? dir : "", error);
}

bool Client::Open(const std::string& linuxStateDir, std::string* error) {
    linuxDir_ = linuxStateDir;
    // The server writes ports.json whole, with Python's json.dump: {"trusted": 40123, ...}.
    const std::string ports =
        linuxDir_.empty() ? "" : ReadFile(NativePath(linuxDir_ + "/ports.json"));
    bool ok = true;
    for (std::size_t i = 0; i < std::size(kListenerNames); ++i) {
        const std::string key = "\"" + std::string(kListenerNames[i]) + "\": ";
        const std::size_t at = ports.find(key);
        ports_[i] = at == std::string::npos ? 0 : std::atoi(ports.c_str() + at + key.size());
        ok = ok && ports_[i] > 0;
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

std::string Client::CaFile() const { return NativePath(linuxDir_ + "/pki/ca.pem"); }

bool Client::PutRoute(std::string_view target, const Route& route, std::string* error) const {
    std::string json = "{\"status\":" + std::to_string(route.status) + ",\"body_hex\":\"" +
                       Hex(route.body) + "\",\"location_hex\":\"" + Hex(route.location) +
                       "\",\"headers_delay_ms\":" + std::to_string(route.headersDelayMs);
    if (route.resetAfterBytes >= 0) {
        json += ",\"reset_after_bytes\":" + std::to_string(route.resetAfterBytes);
    }
    return PutRouteJson(
        target, json + (route.endless ? ",\"chunked\":true,\"endless\":true}" : "}"), error);
}

bool Client::PutRouteJson(std::string_view target, std::string_view json,
                          std::string* error) const {
    // Written aside and renamed, so that the server never reads half a route.
    const std::string routes = NativePath(linuxDir_ + "/routes/");
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
    // One block per request: its method, its header lines, a blank line. A block still being
    // written has no blank line yet and is left out.
    const std::string log = ReadFile(NativePath(linuxDir_ + "/requests/" + Hex(target) + ".log"));
    std::vector<LoggedRequest> requests;
    std::size_t at = 0;
    for (std::size_t end = log.find("\n\n"); end != std::string::npos; end = log.find("\n\n", at)) {
        const std::string block = log.substr(at, end - at);
        const std::size_t eol = std::min(block.find('\n'), block.size());
        requests.push_back({block.substr(0, eol), block.substr(std::min(eol + 1, block.size()))});
        at = end + 2;
    }
    return requests;
}

}  // namespace keyserver
