// The verification job: checks one file end to end and condenses every way it can end into an
// outcome with fixed texts.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "keyclient/http_get.h"

// Colour class of the status line.
enum class OutcomeKind : std::int32_t { Neutral = 0, Verified = 1, Failed = 2 };

struct VerificationOutcome {
    std::u16string statusText;       // the status line
    std::u16string resultText;       // the result sentence
    std::u16string domainText;       // the signer's domain
    std::u16string descriptionText;  // the key's description; may be empty
    OutcomeKind kind = OutcomeKind::Neutral;
};

// Runs the whole check for the file at path. cancelled (may be null) is read after a failed
// fetch. fetchOptions is for the command-line verifier and tests; the shell passes none.
VerificationOutcome RunVerification(const std::u16string& path,
                                    const std::atomic<std::uint8_t>* cancelled,
                                    const FetchOptions* fetchOptions = nullptr);

// The domain alone, read synchronously for the page's first display: "(not available)" when
// the file yields none.
std::u16string ReadDomainPreview(const std::u16string& path);
