#include "verification/verification_job.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/text_conversion.h"
#include "keyclient/base64url.h"
#include "quorvel/quorvel.h"
#include "verification/domain_check.h"
#include "verification/domain_name.h"
#include "verification/fetching_key_lookup.h"
#include "verification/key_lookup.h"
#include "verification/outcome_texts.h"
#include "verification/signature_reader.h"
#include "verification/single_pass_reader.h"

namespace {

constexpr std::u16string_view kRevokedState = u"revoked";

// The payload's domain: the bytes of the record's field before its first NUL.
std::string DomainOf(const quorvel_signature_info& info) {
    const std::string_view field(info.domain, sizeof info.domain);
    return std::string(field.substr(0, field.find('\0')));
}

bool IsSet(const std::atomic<std::uint8_t>* flag) { return flag != nullptr && flag->load() != 0; }

// The key lookup's failures as outcome cases. True when the key was found.
bool JudgeLookup(const KeyLookupResult& key, const std::atomic<std::uint8_t>* cancelled,
                 VerificationOutcome& outcome) {
    switch (key.status) {
        case KeyLookupStatus::Found:
            return true;
        case KeyLookupStatus::FetchFailed:
            if (IsSet(cancelled)) {
                SetOutcomeCase(outcome, OutcomeCase::Cancelled);
            } else {
                SetFetchFailed(outcome, key.error);
            }
            return false;
        case KeyLookupStatus::UnexpectedHttpStatus:
            SetUnexpectedHttpStatus(outcome, key.httpStatus);
            return false;
        case KeyLookupStatus::DocumentInvalid:
            SetKeyResponseInvalid(outcome, key.error);
            return false;
        case KeyLookupStatus::NotAvailableOffline:
            SetOutcomeCase(outcome, OutcomeCase::KeyNotAvailableOffline);
            return false;
    }
    return false;
}

}  // namespace

VerificationOutcome RunVerification(const std::u16string& path, SignatureReader& reader,
                                    KeyLookup& keys, std::span<const std::string> requiredDomains,
                                    const std::atomic<std::uint8_t>* cancelled) {
    VerificationOutcome outcome;
    if (path.empty()) {
        SetOutcomeCase(outcome, OutcomeCase::NoFileSelected);
        return outcome;
    }

    // Reading: what the payload says.
    quorvel_signature_info info{};
    const int readStatus = reader.ReadInfo(path, info);
    if (readStatus != QUORVEL_OK) {
        SetOutcomeCase(outcome, ReadingStageCase(readStatus));
        return outcome;
    }

    Bytes32 keyId{};
    std::memcpy(keyId.data(), info.key_id, keyId.size());
    const std::string keyIdText = Base64UrlEncode(keyId);
    const std::string domain = DomainOf(info);
    outcome.domainText =
        domain.empty() ? std::u16string(kDomainNotAvailable) : Utf8ToWide(domain.c_str());
    if (domain.empty() || keyIdText.empty()) {
        SetOutcomeCase(outcome, OutcomeCase::MetadataIncomplete);
        return outcome;
    }
    // The domain becomes the URL's host as it stands; one that could redirect the request to
    // another host than the one shown is refused before anything is sent.
    if (!IsFetchableDomain(domain)) {
        SetOutcomeCase(outcome, OutcomeCase::UnfetchableDomain);
        return outcome;
    }
    // A signer the caller does not accept is not even asked for its key.
    if (!IsRequiredDomain(domain, requiredDomains)) {
        SetUnexpectedDomain(outcome, outcome.domainText);
        return outcome;
    }

    // Key lookup.
    const KeyLookupResult key = keys.Lookup(domain, keyIdText);
    if (!JudgeLookup(key, cancelled, outcome)) {
        return outcome;
    }
    outcome.descriptionText = key.description;

    // Verifying: the reader judges the file as it read it (the page's reader) or reads it again
    // (the command line's).
    quorvel_verify_result result{};
    const int verifyStatus = reader.Verify(path, key.publicKey, result);
    SetOutcomeCase(outcome, VerifyingStageCase(verifyStatus, key.state == kRevokedState));
    return outcome;
}

VerificationOutcome RunVerification(const std::u16string& path,
                                    const std::atomic<std::uint8_t>* cancelled,
                                    const FetchOptions* fetchOptions) {
    SinglePassReader reader(cancelled);
    FetchingKeyLookup keys(fetchOptions);
    return RunVerification(path, reader, keys, {}, cancelled);
}

std::u16string ReadDomainPreview(const std::u16string& path) {
    if (path.empty()) {
        return std::u16string(kDomainNotAvailable);
    }
    // The headers and the certificate table only, and no table that would be slow to decode
    // on the user-interface thread: the worker's outcome brings the domain of such a file.
    quorvel_file_scan scan{};
    if (ScanFile(path, QUORVEL_SCAN_BOUNDED_TABLE, nullptr, scan) != QUORVEL_OK ||
        scan.info.domain[0] == '\0') {
        return std::u16string(kDomainNotAvailable);
    }
    const std::string domain = DomainOf(scan.info);
    return Utf8ToWide(domain.c_str());
}
