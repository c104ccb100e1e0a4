// Test-side access to the loopback key server that a CTest fixture started (see README.md):
// its ports, its test CA, its routes and its request log. Works natively and under Wine, where
// the server's Linux paths are reached through drive Z:.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace keyserver {

// Environment variable that names the server's state directory (a Linux path).
inline constexpr char kStateDirVariable[] = "QUORVEL_KEYSERVER_DIR";

enum class Listener {
    Trusted,    // TLS, test-CA certificate for 127.0.0.1, ::1 and localhost
    Untrusted,  // TLS, certificate for 127.0.0.1 from a CA nobody trusts
    WrongHost,  // TLS, test-CA certificate for wrong.example only
    Silent,     // accepts TCP connections and never sends a byte
    Closed,     // nothing listens: connection attempts are refused
};

// What the server answers on one path (see keyserver.py for the route keys).
struct Route {
    int status = 200;
    std::string body;                     // any bytes
    std::string location;                 // non-empty: a Location header
    bool sendContentLength = true;        // false: no Content-Length; the close ends the body
    bool chunked = false;                 // Transfer-Encoding: chunked, one chunk per piece
    std::vector<std::size_t> chunkSizes;  // body pieces, the last size repeating
    int headersDelayMs = 0;               // pause before the status line
    int silentSeconds = 0;                // > 0: read the request, say nothing this long, close
    long long closeAfterBytes = -1;       // >= 0: send this many body bytes, then close
    long long resetAfterBytes = -1;       // >= 0: send this many body bytes, then reset
};

// One line of the server's request log.
struct LoggedRequest {
    std::string listener;
    std::string method;
    std::string target;     // as sent, query included
    std::string userAgent;  // empty when the request had none
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
};

// The path this process must use for a Linux path: itself natively, Z:\... under Wine.
std::string NativePath(std::string path);

// A name no other test process uses at the same time, for unique route paths.
std::string UniqueName(std::string_view tag);

// size bytes of lower-case letters without short repeats, for bodies.
std::string Pattern(std::size_t size);

class Client {
public:
    // Reads the state directory from kStateDirVariable, then its ports.json. False, with a
    // message, when the variable is unset or the server is not ready.
    bool Open(std::string* error);
    bool Open(const std::string& linuxStateDir, std::string* error);

    int Port(Listener listener) const { return ports_[static_cast<std::size_t>(listener)]; }
    // "127.0.0.1:PORT": what a signature's domain would hold to reach this listener.
    std::string Domain(Listener listener) const;
    // "https://127.0.0.1:PORT" + path.
    std::string Url(Listener listener, std::string_view path) const;
    std::string CaFile() const;    // the test CA in PEM, as a path for this process
    std::string StateDir() const;  // the state directory, as a path for this process

    // Stores the route for the exact request target. Takes effect at once.
    bool PutRoute(std::string_view target, const Route& route, std::string* error) const;
    // The same with the route as its JSON text, for the keys Route has no field for (endless).
    bool PutRouteJson(std::string_view target, std::string_view json, std::string* error) const;

    std::vector<LoggedRequest> RequestsFor(std::string_view target) const;

private:
    std::string linuxDir_;
    int ports_[5] = {0, 0, 0, 0, 0};
};

}  // namespace keyserver
