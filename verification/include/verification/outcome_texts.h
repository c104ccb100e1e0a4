// Every text the verification job and the page show, and the table of outcome cases that sets
// them. All texts are fixed UTF-16 constants; nothing is localised or loaded from resources.
#pragma once

#include <cstdint>
#include <string_view>

#include "verification/verification_job.h"

// Status lines.
inline constexpr std::u16string_view kStatusChecking = u"Quorvel: checking...";
inline constexpr std::u16string_view kStatusUnavailable = u"Quorvel: unavailable";
inline constexpr std::u16string_view kStatusUnreadable = u"Quorvel: unable to read file";
inline constexpr std::u16string_view kStatusNoSignature = u"Quorvel: no signature";
inline constexpr std::u16string_view kStatusNotPeFile = u"Quorvel: not a PE file";
inline constexpr std::u16string_view kStatusInvalidPayload = u"Quorvel: invalid signature payload";
inline constexpr std::u16string_view kStatusKeyResponseInvalid = u"Quorvel: key response invalid";
inline constexpr std::u16string_view kStatusKeyFetchFailed = u"Quorvel: key fetch failed";
inline constexpr std::u16string_view kStatusSignatureInvalid = u"Quorvel: signature invalid";
inline constexpr std::u16string_view kStatusVerificationFailed = u"Quorvel: verification failed";
inline constexpr std::u16string_view kStatusRevoked = u"Quorvel: revoked";
inline constexpr std::u16string_view kStatusVerified = u"Quorvel: verified";
inline constexpr std::u16string_view kStatusUnexpectedDomain = u"Quorvel: unexpected signer";
inline constexpr std::u16string_view kStatusKeyNotAvailableOffline =
    u"Quorvel: key document not available offline";
inline constexpr std::u16string_view kStatusPayloadRead = u"Quorvel: payload read";

// Result sentences.
inline constexpr std::u16string_view kResultChecking = u"Checking Quorvel signature...";
inline constexpr std::u16string_view kResultNoFileSelected = u"No file selected.";
inline constexpr std::u16string_view kResultUnreadable = u"The file could not be read.";
inline constexpr std::u16string_view kResultNoSignature = u"No Quorvel signature was found.";
inline constexpr std::u16string_view kResultNotPeFile = u"The selected file is not a PE file.";
inline constexpr std::u16string_view kResultInvalidPayload = u"The signature payload is invalid.";
inline constexpr std::u16string_view kResultInfoUnavailable =
    u"Quorvel signing information could not be read.";
inline constexpr std::u16string_view kResultMetadataIncomplete =
    u"The embedded key metadata is incomplete.";
inline constexpr std::u16string_view kResultFetchFailed = u"Unable to fetch the signing key.";
inline constexpr std::u16string_view kResultUnexpectedHttpStatus =
    u"The signing key server returned an unexpected response.";
inline constexpr std::u16string_view kResultKeyResponseInvalid =
    u"The signing key response is invalid.";
inline constexpr std::u16string_view kResultNoSignatureAtVerify =
    u"No signature was found during validation.";
inline constexpr std::u16string_view kResultSignatureInvalid =
    u"The signature does not match the file contents.";
inline constexpr std::u16string_view kResultVerificationFailed = u"Validation failed.";
inline constexpr std::u16string_view kResultRevoked = u"The signing key is revoked.";
inline constexpr std::u16string_view kResultVerified = u"The signature validated successfully.";
// The payload's domain stands between the two halves.
inline constexpr std::u16string_view kResultUnexpectedDomainBefore = u"The file is signed by ";
inline constexpr std::u16string_view kResultUnexpectedDomainAfter =
    u", which is not a required domain.";
inline constexpr std::u16string_view kResultKeyNotAvailableOffline =
    u"No key document was given for this domain and key, and fetching is turned off.";
inline constexpr std::u16string_view kResultPayloadRead =
    u"The signature payload was read; the signature was not verified.";

// Stand-ins for a domain or a description that is not there.
inline constexpr std::u16string_view kDomainNotAvailable = u"(not available)";
inline constexpr std::u16string_view kDescriptionNotProvided = u"(not provided)";

// Every way the job can end. The "AtVerify" cases are those of the verifying stage, which keep
// the domain and the description; the reading-stage cases show "(not available)" as domain.
enum class OutcomeCase : std::uint8_t {
    NoFileSelected,
    FileUnreadable,
    NoSignature,
    NotPeFile,
    InvalidPayload,
    InfoUnavailable,
    MetadataIncomplete,
    UnfetchableDomain,  // the domain cannot be used as a URL's host; InvalidPayload's texts
    UnexpectedDomain,   // not one of the required domains: SetUnexpectedDomain
    FetchFailed,
    UnexpectedHttpStatus,
    KeyResponseInvalid,
    KeyNotAvailableOffline,  // no saved document for the address, and no fetching
    Cancelled,
    FileUnreadableAtVerify,
    NotPeFileAtVerify,
    InvalidPayloadAtVerify,
    NoSignatureAtVerify,
    SignatureInvalid,
    VerificationFailed,
    Revoked,
    Verified,
    PayloadRead,  // the payload alone was read (quorvel-verify --info); nothing was verified
};

// The reading stage's case for a status of the library other than QUORVEL_OK.
OutcomeCase ReadingStageCase(int libraryStatus);

// The verifying stage's case for the library's status; a good signature under a revoked key is
// Revoked.
OutcomeCase VerifyingStageCase(int libraryStatus, bool keyRevoked);

// Sets outcome to the case: its status line, result sentence and kind, and for the cases that
// end before a domain was read, "(not available)" as domain. Cancelled empties the status,
// result and domain. Other cases leave the domain and the description alone.
void SetOutcomeCase(VerificationOutcome& outcome, OutcomeCase outcomeCase);

// The three cases whose status line carries a detail: the fetch's or the parser's error bytes
// (one code unit per byte) between " (" and ")", or the HTTP status in decimal after " (HTTP ".
void SetFetchFailed(VerificationOutcome& outcome, std::string_view errorText);
void SetUnexpectedHttpStatus(VerificationOutcome& outcome, std::int32_t httpStatus);
void SetKeyResponseInvalid(VerificationOutcome& outcome, std::string_view errorText);

// UnexpectedDomain: the status line carries the payload's domain (as shown) between " (" and
// ")", and the result sentence names it too.
void SetUnexpectedDomain(VerificationOutcome& outcome, std::u16string_view domain);
