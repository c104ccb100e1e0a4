#include "version.h"

#include <curl/curl.h>
#include <rapidjson/rapidjson.h>
#include <sodium.h>

#ifndef QUORVEL_VERSION
#error "QUORVEL_VERSION must be the project's version"
#endif

std::string VersionText() {
    // The libraries' own reports: natively the shared libraries in use, on Windows the static
    // builds linked in. RapidJSON is headers only.
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    std::string text = "quorvel-verify " QUORVEL_VERSION "\n";
    text += std::string("libsodium ") + sodium_version_string() + "\n";
    text += std::string("libcurl ") + curl->version + " (" +
            (curl->ssl_version != nullptr ? curl->ssl_version : "no TLS") + ")\n";
    text += "RapidJSON " RAPIDJSON_VERSION_STRING "\n";
    return text;
}
