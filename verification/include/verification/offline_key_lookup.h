// Key documents saved from the well-known address, given for a domain instead of fetched.
//
// A document's authority is that its domain serves it, so it speaks only for that domain
// (SameDomainName) and only for the key id its jwk.kid names. A document whose key id cannot be
// compared, because it fails the parser's checks before the kid (not JSON, no jwk object,
// missing JWK fields, another key type) or exceeds the body limit, stands for every key id of its
// domain, so that the files of that domain show why it is unusable. A document that names the
// key id wins over one whose key id cannot be compared; among equals the first given wins.
//
// An address that no document speaks for goes to the fallback lookup, or, without one, ends as
// NotAvailableOffline.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "verification/key_lookup.h"

struct SavedKeyDocument {
    std::string domain;  // the domain the document was given for
    std::string body;    // its bytes; more than kMaxResponseBytes only to say it is too large
};

class OfflineKeyLookup final : public KeyLookup {
  public:
    // fallback (may be null: no connection is ever made) must outlive the lookup.
    OfflineKeyLookup(std::vector<SavedKeyDocument> documents, KeyLookup* fallback)
        : documents_(std::move(documents)), fallback_(fallback) {}
    KeyLookupResult Lookup(const std::string& domain, const std::string& keyIdText) override;

  private:
    std::vector<SavedKeyDocument> documents_;
    KeyLookup* fallback_;
};
