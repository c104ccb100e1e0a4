// Every user-visible text of an outcome, each checked once here: the status line, the result
// sentence, the kind, and what each case does to the domain and the description.
#include "verification/outcome_texts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>

#include "quorvel/quorvel.h"

namespace {

constexpr auto kFailed = OutcomeKind::Failed;
constexpr auto kNeutral = OutcomeKind::Neutral;

TEST(OutcomeTexts, EveryCase) {
    using enum OutcomeCase;
    using Set = std::function<void(VerificationOutcome&)>;
    // clang-format off
    const std::u16string na = u"(not available)", unreadable = u"The file could not be read.", notPe = u"The selected file is not a PE file.",
        invalid = u"The signature payload is invalid.", http = u"The signing key server returned an unexpected response.", fetch = u"Unable to fetch the signing key.";
    auto is = [](OutcomeCase c) { return Set([c](VerificationOutcome& o) { SetOutcomeCase(o, c); }); };
    // The domain defaults to what it was before.
    const struct { Set set; const char* name; std::u16string status, result; OutcomeKind kind; std::u16string domain = u"signer.example"; } rows[] = {
        {is(NoFileSelected), "NoFileSelected", u"Quorvel: unavailable", u"No file selected.", kNeutral, na},
        {is(FileUnreadable), "FileUnreadable", u"Quorvel: unable to read file", unreadable, kFailed, na},
        {is(NoSignature), "NoSignature", u"Quorvel: no signature", u"No Quorvel signature was found.", kFailed, na},
        {is(NotPeFile), "NotPeFile", u"Quorvel: not a PE file", notPe, kFailed, na},
        {is(InvalidPayload), "InvalidPayload", u"Quorvel: invalid signature payload", invalid, kFailed, na},
        {is(InfoUnavailable), "InfoUnavailable", u"Quorvel: unavailable", u"Quorvel signing information could not be read.", kNeutral, na},
        {is(MetadataIncomplete), "MetadataIncomplete", u"Quorvel: key response invalid", u"The embedded key metadata is incomplete.", kFailed, na},
        {is(UnfetchableDomain), "UnfetchableDomain", u"Quorvel: invalid signature payload", invalid, kFailed},
        {is(KeyNotAvailableOffline), "KeyNotAvailableOffline", u"Quorvel: key document not available offline", u"No key document was given for this domain and key, and fetching is turned off.", kFailed},
        {is(Cancelled), "Cancelled", u"", u"", kNeutral, u""},
        {is(FileUnreadableAtVerify), "FileUnreadableAtVerify", u"Quorvel: unable to read file", unreadable, kFailed},
        {is(NotPeFileAtVerify), "NotPeFileAtVerify", u"Quorvel: not a PE file", notPe, kFailed},
        {is(InvalidPayloadAtVerify), "InvalidPayloadAtVerify", u"Quorvel: invalid signature payload", invalid, kFailed},
        {is(NoSignatureAtVerify), "NoSignatureAtVerify", u"Quorvel: no signature", u"No signature was found during validation.", kFailed},
        {is(SignatureInvalid), "SignatureInvalid", u"Quorvel: signature invalid", u"The signature does not match the file contents.", kFailed},
        {is(VerificationFailed), "VerificationFailed", u"Quorvel: verification failed", u"Validation failed.", kFailed},
        {is(Revoked), "Revoked", u"Quorvel: revoked", u"The signing key is revoked.", kFailed},
        {is(Verified), "Verified", u"Quorvel: verified", u"The signature validated successfully.", OutcomeKind::Verified},
        {is(PayloadRead), "PayloadRead", u"Quorvel: payload read", u"The signature payload was read; the signature was not verified.", kNeutral},
        {[](VerificationOutcome& o) { SetFetchFailed(o, "a & (b)"); }, "fetch failed", u"Quorvel: key fetch failed (a & (b))", fetch, kFailed},
        {[](VerificationOutcome& o) { SetFetchFailed(o, std::string("\x7f\x80\xff", 3)); }, "error bytes widened one by one, sign-extended", std::u16string(u"Quorvel: key fetch failed (\x7f\xff80\xffff)"), fetch, kFailed},
        {[](VerificationOutcome& o) { SetKeyResponseInvalid(o, "kid mismatch"); }, "key response invalid", u"Quorvel: key response invalid (kid mismatch)", u"The signing key response is invalid.", kFailed},
        {[](VerificationOutcome& o) { SetUnexpectedHttpStatus(o, 404); }, "HTTP 404", u"Quorvel: key fetch failed (HTTP 404)", http, kFailed},
        {[](VerificationOutcome& o) { SetUnexpectedDomain(o, u"b\u00fc.example"); }, "unexpected signer", u"Quorvel: unexpected signer (b\u00fc.example)", u"The file is signed by b\u00fc.example, which is not a required domain.", kFailed},
    };
    // clang-format on
    for (const auto& e : rows) {
        SCOPED_TRACE(e.name);
        // An outcome as the job has it once it knows the domain and the description.
        VerificationOutcome o{u"old status", u"old result", u"signer.example", u"Release key",
                              OutcomeKind::Verified};
        e.set(o);
        EXPECT_EQ(std::tie(o.statusText, o.resultText, o.kind, o.domainText),
                  std::tie(e.status, e.result, e.kind, e.domain));
        EXPECT_EQ(o.descriptionText, u"Release key") << "no case touches the description";
    }
}

TEST(OutcomeTexts, LibraryStatusesOfEachStage) {
    using enum OutcomeCase;
    // clang-format off
    const struct { int status; OutcomeCase reading, verifying, verifyingRevoked; } rows[] = {
        {QUORVEL_OK, InfoUnavailable, Verified, Revoked},
        {QUORVEL_ERR_INVALID_ARGUMENT, InfoUnavailable, VerificationFailed, VerificationFailed},
        {QUORVEL_ERR_READ, FileUnreadable, FileUnreadableAtVerify, FileUnreadableAtVerify},
        {QUORVEL_ERR_NOT_PE, NotPeFile, NotPeFileAtVerify, NotPeFileAtVerify},
        {QUORVEL_ERR_NO_SIGNATURE, NoSignature, NoSignatureAtVerify, NoSignatureAtVerify},
        {QUORVEL_ERR_INVALID_PAYLOAD, InvalidPayload, InvalidPayloadAtVerify, InvalidPayloadAtVerify},
        {QUORVEL_ERR_SIGNATURE_INVALID, InfoUnavailable, SignatureInvalid, SignatureInvalid},
        {QUORVEL_ERR_KEY_MISMATCH, InfoUnavailable, VerificationFailed, VerificationFailed},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(std::tuple(ReadingStageCase(row.status), VerifyingStageCase(row.status, false),
                             VerifyingStageCase(row.status, true)),
                  std::tuple(row.reading, row.verifying, row.verifyingRevoked))
            << row.status;
    }
}

}  // namespace
