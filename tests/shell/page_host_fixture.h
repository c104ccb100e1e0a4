// Signed samples, key documents on the loopback key server, and runs of the host program, for
// the end-to-end tests of the page.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "keyserver/keyserver_client.h"

namespace page_host {

// The key server that CTest started (tests/keyserver), reached through its state folder.
class KeyServer {
public:
    KeyServer();
    bool ready() const { return ready_; }
    std::string domain() const;  // "127.0.0.1:PORT" of the trusted listener
    // Publishes a route: the answer to GET path.
    bool PutRoute(const std::string& path, int status, const std::string& body, int headersDelayMs);
    bool WasRequested(const std::string& path) const;

private:
    keyserver::Client client_;
    bool ready_ = false;
};

// Sample files in the build tree (named quorvel-<name>.exe) and their key documents:
//   verified, verified-nodesc, revoked, unknown-key (no route), wrong-kid, slow (3 s delay),
//   unsigned (a real PE without signature), text (not a PE file).
class Samples {
public:
    Samples();
    bool ready() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }
    const std::string& domain() const { return domain_; }
    const KeyServer& server() const { return server_; }
    std::wstring Sample(const std::string& name) const;
    std::string KeyPath(const std::string& name) const;  // the key document's URL path
    std::wstring ArtifactPath(const std::wstring& fileName) const;

private:
    bool MakeSigned(const std::string& name, unsigned char seed, const std::string& state,
                    const std::string& description, bool publish, int delayMs,
                    unsigned char kidSeed);

    KeyServer server_;
    std::wstring artifacts_;
    std::string domain_;
    std::string problem_;
    std::string baseImage_;
    std::map<std::string, std::string> keyPaths_;
};

struct HostRun {
    bool finished = false;
    DWORD exitCode = 0;
    std::string output;
    std::map<std::string, std::string> fields;
};

// Runs quorvel-properties-host with args and then file (when not empty).
HostRun RunHost(const std::vector<std::wstring>& args, const std::wstring& file);

// A 24-bit BMP as the host saves it.
struct Bitmap {
    bool valid = false;
    int width = 0;
    int height = 0;
    std::vector<COLORREF> pixels;
    size_t Count(COLORREF color) const;
};
Bitmap ReadBitmap(const std::wstring& path);

// The five notice blocks as the module should carry them, made here from the licence files
// that the build used (QUORVEL_SHELL_NOTICE_SOURCES, separated by "|"): line feed, heading, empty line, the file
// with carriage returns removed.
std::vector<std::string> ExpectedNoticeBlocks();
// Checks the licences dialog's text against those blocks: start, separators, end, length.
void ExpectNoticeText(const std::wstring& text, const std::vector<std::string>& blocks);

}  // namespace page_host
