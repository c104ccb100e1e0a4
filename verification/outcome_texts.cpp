#include "verification/outcome_texts.h"

#include <array>
#include <cstddef>
#include <string>

#include "common/text_conversion.h"
#include "quorvel/quorvel.h"

namespace {

// What setting a case writes. A case that does not name a domain keeps the one the job shows.
struct CaseTexts {
    OutcomeCase outcomeCase;
    std::u16string_view status;
    std::u16string_view result;
    OutcomeKind kind;
    bool domainNotAvailable;  // the job ended before it had a domain to show
};

constexpr std::array<CaseTexts, 23> kCases{{
    {OutcomeCase::NoFileSelected, kStatusUnavailable, kResultNoFileSelected, OutcomeKind::Neutral,
     true},
    {OutcomeCase::FileUnreadable, kStatusUnreadable, kResultUnreadable, OutcomeKind::Failed, true},
    {OutcomeCase::NoSignature, kStatusNoSignature, kResultNoSignature, OutcomeKind::Failed, true},
    {OutcomeCase::NotPeFile, kStatusNotPeFile, kResultNotPeFile, OutcomeKind::Failed, true},
    {OutcomeCase::InvalidPayload, kStatusInvalidPayload, kResultInvalidPayload, OutcomeKind::Failed,
     true},
    {OutcomeCase::InfoUnavailable, kStatusUnavailable, kResultInfoUnavailable, OutcomeKind::Neutral,
     true},
    {OutcomeCase::MetadataIncomplete, kStatusKeyResponseInvalid, kResultMetadataIncomplete,
     OutcomeKind::Failed, true},
    {OutcomeCase::UnfetchableDomain, kStatusInvalidPayload, kResultInvalidPayload,
     OutcomeKind::Failed, false},
    {OutcomeCase::UnexpectedDomain, kStatusUnexpectedDomain, u"", OutcomeKind::Failed, false},
    {OutcomeCase::FetchFailed, kStatusKeyFetchFailed, kResultFetchFailed, OutcomeKind::Failed,
     false},
    {OutcomeCase::UnexpectedHttpStatus, kStatusKeyFetchFailed, kResultUnexpectedHttpStatus,
     OutcomeKind::Failed, false},
    {OutcomeCase::KeyResponseInvalid, kStatusKeyResponseInvalid, kResultKeyResponseInvalid,
     OutcomeKind::Failed, false},
    {OutcomeCase::KeyNotAvailableOffline, kStatusKeyNotAvailableOffline,
     kResultKeyNotAvailableOffline, OutcomeKind::Failed, false},
    {OutcomeCase::Cancelled, u"", u"", OutcomeKind::Neutral, false},
    {OutcomeCase::FileUnreadableAtVerify, kStatusUnreadable, kResultUnreadable, OutcomeKind::Failed,
     false},
    {OutcomeCase::NotPeFileAtVerify, kStatusNotPeFile, kResultNotPeFile, OutcomeKind::Failed,
     false},
    {OutcomeCase::InvalidPayloadAtVerify, kStatusInvalidPayload, kResultInvalidPayload,
     OutcomeKind::Failed, false},
    {OutcomeCase::NoSignatureAtVerify, kStatusNoSignature, kResultNoSignatureAtVerify,
     OutcomeKind::Failed, false},
    {OutcomeCase::SignatureInvalid, kStatusSignatureInvalid, kResultSignatureInvalid,
     OutcomeKind::Failed, false},
    {OutcomeCase::VerificationFailed, kStatusVerificationFailed, kResultVerificationFailed,
     OutcomeKind::Failed, false},
    {OutcomeCase::Revoked, kStatusRevoked, kResultRevoked, OutcomeKind::Failed, false},
    {OutcomeCase::Verified, kStatusVerified, kResultVerified, OutcomeKind::Verified, false},
    {OutcomeCase::PayloadRead, kStatusPayloadRead, kResultPayloadRead, OutcomeKind::Neutral, false},
}};

constexpr bool TableIsIndexedByCase() {
    for (std::size_t i = 0; i < kCases.size(); ++i) {
        if (static_cast<std::size_t>(kCases[i].outcomeCase) != i) {
            return false;
        }
    }
    return true;
}
static_assert(TableIsIndexedByCase(), "kCases must list the cases in enum order");

void SetCaseWithDetail(VerificationOutcome& outcome, OutcomeCase outcomeCase,
                       std::u16string_view detail) {
    const CaseTexts& texts = kCases[static_cast<std::size_t>(outcomeCase)];
    outcome.statusText.assign(texts.status);
    outcome.statusText.append(detail);
    outcome.resultText.assign(texts.result);
    outcome.kind = texts.kind;
    if (texts.domainNotAvailable) {
        outcome.domainText.assign(kDomainNotAvailable);
    }
    if (outcomeCase == OutcomeCase::Cancelled) {
        outcome.domainText.clear();
    }
}

std::u16string Parenthesized(std::u16string_view text) {
    std::u16string detail = u" (";
    detail += text;
    detail += u")";
    return detail;
}

}  // namespace

OutcomeCase ReadingStageCase(int libraryStatus) {
    switch (libraryStatus) {
        case QUORVEL_ERR_NO_SIGNATURE:
            return OutcomeCase::NoSignature;
        case QUORVEL_ERR_NOT_PE:
            return OutcomeCase::NotPeFile;
        case QUORVEL_ERR_INVALID_PAYLOAD:
            return OutcomeCase::InvalidPayload;
        case QUORVEL_ERR_READ:
            return OutcomeCase::FileUnreadable;
        default:
            return OutcomeCase::InfoUnavailable;
    }
}

OutcomeCase VerifyingStageCase(int libraryStatus, bool keyRevoked) {
    switch (libraryStatus) {
        case QUORVEL_OK:
            return keyRevoked ? OutcomeCase::Revoked : OutcomeCase::Verified;
        case QUORVEL_ERR_SIGNATURE_INVALID:
            return OutcomeCase::SignatureInvalid;
        case QUORVEL_ERR_NO_SIGNATURE:
            return OutcomeCase::NoSignatureAtVerify;
        case QUORVEL_ERR_INVALID_PAYLOAD:
            return OutcomeCase::InvalidPayloadAtVerify;
        case QUORVEL_ERR_NOT_PE:
            return OutcomeCase::NotPeFileAtVerify;
        case QUORVEL_ERR_READ:
            return OutcomeCase::FileUnreadableAtVerify;
        default:
            return OutcomeCase::VerificationFailed;  // KEY_MISMATCH and INVALID_ARGUMENT too
    }
}

void SetOutcomeCase(VerificationOutcome& outcome, OutcomeCase outcomeCase) {
    SetCaseWithDetail(outcome, outcomeCase, {});
}

void SetFetchFailed(VerificationOutcome& outcome, std::string_view errorText) {
    SetCaseWithDetail(outcome, OutcomeCase::FetchFailed, Parenthesized(Widen(errorText)));
}

void SetUnexpectedHttpStatus(VerificationOutcome& outcome, std::int32_t httpStatus) {
    std::u16string detail = u" (HTTP ";
    detail += Widen(std::to_string(httpStatus));
    detail += u")";
    SetCaseWithDetail(outcome, OutcomeCase::UnexpectedHttpStatus, detail);
}

void SetKeyResponseInvalid(VerificationOutcome& outcome, std::string_view errorText) {
    SetCaseWithDetail(outcome, OutcomeCase::KeyResponseInvalid, Parenthesized(Widen(errorText)));
}

void SetUnexpectedDomain(VerificationOutcome& outcome, std::u16string_view domain) {
    SetCaseWithDetail(outcome, OutcomeCase::UnexpectedDomain, Parenthesized(domain));
    outcome.resultText.assign(kResultUnexpectedDomainBefore);
    outcome.resultText += domain;
    outcome.resultText += kResultUnexpectedDomainAfter;
}
