#include "verification/offline_key_lookup.h"

#include <optional>
#include <string_view>

#include "keyclient/key_document.h"
#include "verification/domain_name.h"

namespace {

constexpr std::string_view kKidMismatch = "kid mismatch";

// A key id text that no payload can have (payloads always give 43 characters): a document that
// passes the kid check for it as well as failing it for the payload's key id could not have
// compared its kid at all.
const std::string kNoKeyId;

}  // namespace

KeyLookupResult OfflineKeyLookup::Lookup(const std::string& domain, const std::string& keyIdText) {
    std::optional<KeyLookupResult> uncompared;
    for (const SavedKeyDocument& document : documents_) {
        if (!SameDomainName(document.domain, domain)) {
            continue;
        }
        KeyLookupResult result = CheckKeyDocument(document.body, keyIdText);
        // Memory running out says nothing about the document, so no other document may decide
        // in its place: it could pass a key that this one revokes.
        if (result.status == KeyLookupStatus::Found || result.error == kKeyDocumentOutOfMemory) {
            return result;
        }
        if (result.error == kKidMismatch) {
            continue;  // the document names another key
        }
        // Failed after its kid matched: this key's document, and it is bad. Failed before the kid
        // was compared: it stands for every key id, unless one names this key.
        KeyLookupResult probe = CheckKeyDocument(document.body, kNoKeyId);
        if (probe.error == kKidMismatch) {
            return result;
        }
        if (probe.error == kKeyDocumentOutOfMemory) {
            return probe;
        }
        if (!uncompared) {
            uncompared = std::move(result);
        }
    }
    if (uncompared) {
        return *std::move(uncompared);
    }
    if (fallback_ != nullptr) {
        return fallback_->Lookup(domain, keyIdText);
    }
    KeyLookupResult result;
    result.status = KeyLookupStatus::NotAvailableOffline;
    return result;
}
