#include "verification/caching_key_lookup.h"

#include <exception>

#include "keyclient/http_get.h"

KeyLookupResult CachingKeyLookup::Lookup(const std::string& domain, const std::string& keyIdText) {
    const std::string address = BuildKeyDocumentUrl(domain, keyIdText);
    std::promise<KeyLookupResult> promise;
    std::shared_future<KeyLookupResult> result;
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = results_.find(address);
        if (found == results_.end()) {
            result = promise.get_future().share();
            results_.emplace(address, result);
            first = true;
        } else {
            result = found->second;
        }
    }
    // The first asker looks up outside the lock, so that other addresses go on meanwhile.
    if (first) {
        try {
            promise.set_value(source_.Lookup(domain, keyIdText));
        } catch (...) {
            promise.set_exception(std::current_exception());  // every waiter sees it
        }
    }
    return result.get();
}
