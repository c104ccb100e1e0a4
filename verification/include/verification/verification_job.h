// The verification job: checks one file end to end and condenses every way it can end into an
// outcome with fixed texts.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "keyclient/http_get.h"

class KeyLookup;
class SignatureReader;

// Colour class of the status line.
enum class OutcomeKind : std::int32_t { Neutral = 0, Verified = 1, Failed = 2 };

struct VerificationOutcome {
    std::u16string statusText;       // the status line
    std::u16string resultText;       // the result sentence
    std::u16string domainText;       // the signer's domain
    std::u16string descriptionText;  // the key's description; may be empty
    OutcomeKind kind = OutcomeKind::Neutral;
};

// Runs the whole check for the file at path: reader reads it (a fresh reader per call), keys
// gives the key document for the payload's address. A payload whose domain is not one of
// requiredDomains (when any are given) ends before any lookup. cancelled (may be null) is read
// after a failed fetch (and by a reader given it, between the pieces it reads).
VerificationOutcome RunVerification(const std::u16string& path, SignatureReader& reader,
                                    KeyLookup& keys, std::span<const std::string> requiredDomains,
                                    const std::atomic<std::uint8_t>* cancelled);

// The check as the property page runs it: one read of the file, in pieces, that stops once
// *cancelled is set; the key fetched from the signer's server; any domain. fetchOptions is for
// tests; the shell passes none.
VerificationOutcome RunVerification(const std::u16string& path,
                                    const std::atomic<std::uint8_t>* cancelled,
                                    const FetchOptions* fetchOptions = nullptr);

// The domain alone, read synchronously for the page's first display: the headers and the
// certificate table, whatever the file's size. "(not available)" when the file yields none, or
// when its table is above QUORVEL_SCAN_TABLE_LIMIT_BYTES (the worker's outcome then brings it).
std::u16string ReadDomainPreview(const std::u16string& path);
