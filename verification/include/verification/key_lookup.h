// Where the verification job gets a signer's key: the key document for one address (a domain
// and a key id), fetched or given, checked as one body.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "keyclient/base64url.h"

enum class KeyLookupStatus : std::uint8_t {
    Found,                 // the document passed every check
    FetchFailed,           // the transfer failed, or the body was too large
    UnexpectedHttpStatus,  // the server answered with another status than 200
    DocumentInvalid,       // the body is not a valid key document for the key id
    NotAvailableOffline,   // no document was given, and fetching is turned off
};

struct KeyLookupResult {
    KeyLookupStatus status = KeyLookupStatus::FetchFailed;
    std::string error;            // FetchFailed, DocumentInvalid: the fetch's or parser's text
    std::int32_t httpStatus = 0;  // UnexpectedHttpStatus
    Bytes32 publicKey{};          // Found
    std::u16string state;         // Found: "active" or "revoked"
    std::u16string description;   // Found: empty when the document has none
};

// Implementations may be called from several verifications at once.
class KeyLookup {
  public:
    virtual ~KeyLookup() = default;
    // domain: the payload's domain, as it goes into the key document's URL; keyIdText: the
    // key id's 43-character base64url text.
    virtual KeyLookupResult Lookup(const std::string& domain, const std::string& keyIdText) = 0;
};

// A body checked as a key document for keyIdText: more than kMaxResponseBytes is FetchFailed
// with the fetch's size message; otherwise ParseKeyDocument decides between Found and
// DocumentInvalid.
KeyLookupResult CheckKeyDocument(std::string_view body, const std::string& keyIdText);
