// One lookup per key document address for the life of the object (one run of the command-line
// verifier): the address is the document's URL, so the same key id under two domains is two
// addresses. Verifications that ask for an address while its lookup runs wait for that one
// result; a failed lookup is kept like a good one and not repeated.
#pragma once

#include <future>
#include <map>
#include <mutex>
#include <string>

#include "verification/key_lookup.h"

class CachingKeyLookup final : public KeyLookup {
  public:
    // source must outlive the cache.
    explicit CachingKeyLookup(KeyLookup& source) : source_(source) {}
    KeyLookupResult Lookup(const std::string& domain, const std::string& keyIdText) override;

  private:
    KeyLookup& source_;
    std::mutex mutex_;
    std::map<std::string, std::shared_future<KeyLookupResult>> results_;
};
