// One HTTPS GET of a key document through libcurl's easy interface.
#include "keyclient/http_get.h"

#include <curl/curl.h>

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "curl_global_once.h"
#include "response_buffer.h"

namespace {

constexpr long kConnectTimeoutMs = 3000;
constexpr long kTotalTimeoutMs = 5000;
constexpr std::size_t kErrorBufferBytes = 256;
constexpr char kUserAgent[] = "quorvel-shell-integration/1.0";

constexpr char kMessageInitFailed[] = "failed to initialize curl";
constexpr char kMessageNoStatus[] = "failed to read HTTP status";

static_assert(kErrorBufferBytes == CURL_ERROR_SIZE, "libcurl's error buffer size");

struct EasyHandleDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

void SetError(std::string* error, const char* message) {
    if (error != nullptr) {
        *error = message;
    }
}

}  // namespace

std::string BuildKeyDocumentUrl(std::string_view domain, std::string_view keyIdText) {
    std::string url;
    url.reserve(8 + domain.size() + 23 + keyIdText.size());
    url.append("https://");
    url.append(domain);
    url.append("/.well-known/vantors/v1/");
    url.append(keyIdText);
    return url;
}

std::size_t WriteResponseChunk(char* data, std::size_t size, std::size_t count, void* userdata) {
    if (data == nullptr || userdata == nullptr) {
        return 0;
    }
    auto* buffer = static_cast<ResponseBuffer*>(userdata);
    // libcurl passes size 1, but a product that wraps around would slip past the limit check.
    if (count != 0 && size > std::numeric_limits<std::size_t>::max() / count) {
        buffer->exceeded = true;
        return 0;
    }
    const std::size_t n = size * count;
    const std::size_t held = buffer->data.size();
    if (held < kMaxResponseBytes && n <= kMaxResponseBytes - held) {
        try {
            buffer->data.append(data, n);
        } catch (const std::bad_alloc&) {
            // No exception may cross libcurl's C frames; a short count aborts the transfer.
            return 0;
        }
        return n;
    }
    // A chunk that would cross the limit is refused whole.
    buffer->exceeded = true;
    return 0;
}

bool HttpGet(const std::string& url, std::string* body, long* status, std::string* error,
             const FetchOptions* options) {
    if (body == nullptr || status == nullptr) {
        return false;
    }

    EasyHandle handle(EnsureCurlGlobalInit() ? curl_easy_init() : nullptr);
    if (!handle) {
        SetError(error, kMessageInitFailed);
        return false;
    }

    char errorBuffer[kErrorBufferBytes];
    std::memset(errorBuffer, 0, sizeof errorBuffer);
    ResponseBuffer response;

    CURL* curl = handle.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteResponseChunk);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
    // Each fetch has a handle of its own, so a TLS session would never be resumed; and libcurl
    // (7.88) frees a block twice when memory runs out while it stores one.
    curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    if (options != nullptr && options->extraCaFile != nullptr) {
        // Replaces libcurl's default CA bundle file only; with the OpenSSL backend the
        // default CA directory (the system's trust store) stays in use.
        curl_easy_setopt(curl, CURLOPT_CAINFO, options->extraCaFile);
    }

    const CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        if (error != nullptr) {
            if (response.exceeded) {
                *error = kResponseTooLargeMessage;
            } else if (errorBuffer[0] != '\0') {
                // libcurl terminates its text within the buffer; strnlen keeps the copy inside it
                // regardless.
                *error = std::string(errorBuffer, strnlen(errorBuffer, sizeof errorBuffer));
            } else {
                *error = curl_easy_strerror(result);
            }
        }
        return false;
    }

    long code = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
        SetError(error, kMessageNoStatus);
        return false;
    }
    *status = code;

    handle.reset();
    *body = std::move(response.data);
    return true;
}
