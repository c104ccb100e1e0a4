// Test-side access to the loopback key server that a CTest fixture started (see README.md):
// its ports, its test CA, its routes and its request log. Works natively and under Wine, where
// the server's Linux paths are reached through drive Z:.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace keyserver {

// Trusted: test-CA certificate for 127.0.0.1, ::1, localhost. Untrusted: self-signed. WrongHost:
// test-CA certificate for wrong.example. Silent: never sends a byte. Closed: refuses.
enum class Listener { Trusted, Untrusted, WrongHost, Silent, Closed };

// What the server answers on one path (keyserver.py has the route keys).
struct Route {
    int status = 200;
    std::string body = {};           // any bytes
    std::string location = {};       // non-empty: a Location header
    int headersDelayMs = 0;          // pause before the status line
    long long resetAfterBytes = -1;  // >= 0: send this many body bytes, then reset
    bool endless = false;            // chunked, the body again and again until the client leaves
};

struct LoggedRequest {
    std::string method, headers;  // headers: the header lines as received, joined by "\n"
};

// The path this process must use for a Linux path: itself natively, Z:\... under Wine.
std::string NativePath(std::string path);
// A name no other test process uses at the same time, for unique route paths.
std::string UniqueName(std::string_view tag);

class Client {
  public:
    // Reads QUORVEL_KEYSERVER_DIR's (or the given) ports.json; false, with a message, if none.
    bool Open(std::string* error);
    bool Open(const std::string& linuxStateDir, std::string* error);

    int Port(Listener listener) const { return ports_[static_cast<int>(listener)]; }
    std::string Domain(Listener listener) const;  // "127.0.0.1:PORT", a signature's domain
    std::string CaFile() const;                   // the test CA in PEM, as a path for this process

    // Stores the route for the exact request target, as a Route or as its JSON text (for the
    // keys Route has no field for). Takes effect at once.
    bool PutRoute(std::string_view target, const Route& route, std::string* error) const;
    bool PutRouteJson(std::string_view target, std::string_view json, std::string* error) const;

    std::vector<LoggedRequest> RequestsFor(std::string_view target) const;

  private:
    std::string linuxDir_;
    int ports_[5] = {};
};

}  // namespace keyserver
