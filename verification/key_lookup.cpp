#include "verification/key_lookup.h"

#include "keyclient/http_get.h"
#include "keyclient/key_document.h"

KeyLookupResult CheckKeyDocument(std::string_view body, const std::string& keyIdText) {
    KeyLookupResult result;
    if (body.size() > kMaxResponseBytes) {
        result.status = KeyLookupStatus::FetchFailed;
        result.error = kResponseTooLargeMessage;
        return result;
    }
    result.status = ParseKeyDocument(body, keyIdText, result.publicKey, &result.state,
                                     &result.description, &result.error)
                        ? KeyLookupStatus::Found
                        : KeyLookupStatus::DocumentInvalid;
    return result;
}
