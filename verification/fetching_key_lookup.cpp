#include "verification/fetching_key_lookup.h"

namespace {

constexpr long kHttpOk = 200;

}  // namespace

KeyLookupResult FetchingKeyLookup::Lookup(const std::string& domain, const std::string& keyIdText) {
    std::string body;
    long httpStatus = 0;
    KeyLookupResult result;
    if (!HttpGet(BuildKeyDocumentUrl(domain, keyIdText), &body, &httpStatus, &result.error,
                 options_)) {
        result.status = KeyLookupStatus::FetchFailed;
        return result;
    }
    // Only 200 counts: other 2xx codes and redirections end here too.
    if (httpStatus != kHttpOk) {
        result.status = KeyLookupStatus::UnexpectedHttpStatus;
        result.httpStatus = static_cast<std::int32_t>(httpStatus);
        return result;
    }
    return CheckKeyDocument(body, keyIdText);
}
