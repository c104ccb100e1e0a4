// Test-side access to the loopback key server that a CTest fixture started (see README.md):
// its ports, its test CA, its routes and its request log. Works in native tests and in
// Windows tests under Wine, where the server's Linux paths are reached through drive Z:.
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
    Plain,      // plain HTTP, same routes
    Silent,     // accepts TCP connections and never sends a byte
    Blackhole,  // never completes a TCP connection (see BlackholeVerified)
    Closed,     // nothing listens: connection attempts are refused
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// What the server answers on one path. Defaults: 200, the body with its Content-Length.
struct Route {
    int status = 200;
    std::string reason;        // empty: the standard reason phrase
    std::string body;          // any bytes
    std::string contentType;   // empty: application/json
    HeaderList headers;        // added after the standard headers
    std::string location;      // non-empty: a Location header
    bool sendContentLength = true;   // false: no Content-Length; the close ends the body
    long long declaredLength = -1;   // >= 0: this Content-Length instead of the true one
    bool chunked = false;            // Transfer-Encoding: chunked, one HTTP chunk per piece
    std::vector<std::size_t> chunkSizes;  // body pieces, the last size repeating; each piece
                                          // is its own write (its own TLS record)
    int delayMs = 0;            // pause before every piece after the first
    int headersDelayMs = 0;     // pause before the status line
    int silentSeconds = 0;      // > 0: read the request, say nothing for this long, close
    long long closeAfterBytes = -1;  // >= 0: send this many body bytes, then close cleanly
    long long resetAfterBytes = -1;  // >= 0: send this many body bytes, then reset
    std::string listener;       // non-empty ("trusted", "plain", ...): answer only there
};

// One line of the server's request log.
struct LoggedRequest {
    std::string listener;
    std::string method;
    std::string target;  // as sent, query included
    std::string path;    // target without the query
    std::string version;
    std::string userAgent;  // empty when the request had none
    HeaderList headers;     // in the order received
};

// Maps a Linux path to the path this process must use: itself natively, Z:\... under Wine.
std::string NativePath(const std::string& linuxPath);

// A name no other test process uses at the same time, for unique route paths.
std::string UniqueName(std::string_view tag);

// size bytes of lower-case letters without short repeats, for bodies and header values.
std::string Pattern(std::size_t size);

class Client {
public:
    // Reads the state directory from kStateDirVariable, then its ports.json. False, with a
    // message, when the variable is unset or the server is not ready.
    bool Open(std::string* error);
    bool Open(const std::string& linuxStateDir, std::string* error);

    int Port(Listener listener) const;
    bool BlackholeVerified() const { return blackholeVerified_; }

    // "127.0.0.1:PORT": what a signature's domain would hold to reach this listener.
    std::string Domain(Listener listener) const;
    // "https://127.0.0.1:PORT" + path ("http://" for Plain).
    std::string Url(Listener listener, std::string_view path) const;

    std::string CaFile() const;    // the test CA in PEM, as a path for this process
    std::string StateDir() const;  // the state directory, as a path for this process

    // Stores the route for the exact request target (path and query). Takes effect at once.
    bool PutRoute(std::string_view target, const Route& route, std::string* error) const;
    // The same with the route given as its JSON text, for the route keys that Route has no
    // field for (http_version, body_repeat, endless; see keyserver.py).
    bool PutRouteJson(std::string_view target, std::string_view json, std::string* error) const;

    std::vector<LoggedRequest> Requests() const;
    std::vector<LoggedRequest> RequestsFor(std::string_view path) const;

private:
    std::string linuxDir_;
    int ports_[7] = {0, 0, 0, 0, 0, 0, 0};
    bool blackholeVerified_ = false;
};

}  // namespace keyserver
