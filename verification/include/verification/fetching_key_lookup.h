// The key document from the signer's server: one HTTPS GET of the well-known address per call.
#pragma once

#include "keyclient/http_get.h"
#include "verification/key_lookup.h"

class FetchingKeyLookup final : public KeyLookup {
  public:
    // options (may be null) must outlive the lookup.
    explicit FetchingKeyLookup(const FetchOptions* options) : options_(options) {}
    KeyLookupResult Lookup(const std::string& domain, const std::string& keyIdText) override;

  private:
    const FetchOptions* options_;
};
