// The outcome table: every case's texts, kind and what it does to the domain and description.
#include "verification/outcome_texts.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "quorvel/quorvel.h"

namespace {

struct CaseRow {
    const char* name;
    OutcomeCase outcomeCase;
    std::u16string status;
    std::u16string result;
    OutcomeKind kind;
    bool domainBecomesNotAvailable;
};

// The texts are written out here again, independently of the constants, so that a changed
// character in either place fails.
const CaseRow kRows[] = {
    {"NoFileSelected", OutcomeCase::NoFileSelected, u"Quorvel: unavailable", u"No file selected.",
     OutcomeKind::Neutral, true},
    {"FileUnreadable", OutcomeCase::FileUnreadable, u"Quorvel: unable to read file",
     u"The file could not be read.", OutcomeKind::Failed, true},
    {"NoSignature", OutcomeCase::NoSignature, u"Quorvel: no signature",
     u"No Quorvel signature was found.", OutcomeKind::Failed, true},
    {"NotPeFile", OutcomeCase::NotPeFile, u"Quorvel: not a PE file",
     u"The selected file is not a PE file.", OutcomeKind::Failed, true},
    {"InvalidPayload", OutcomeCase::InvalidPayload, u"Quorvel: invalid signature payload",
     u"The signature payload is invalid.", OutcomeKind::Failed, true},
    {"InfoUnavailable", OutcomeCase::InfoUnavailable, u"Quorvel: unavailable",
     u"Quorvel signing information could not be read.", OutcomeKind::Neutral, true},
    {"MetadataIncomplete", OutcomeCase::MetadataIncomplete, u"Quorvel: key response invalid",
     u"The embedded key metadata is incomplete.", OutcomeKind::Failed, true},
    {"UnfetchableDomain", OutcomeCase::UnfetchableDomain, u"Quorvel: invalid signature payload",
     u"The signature payload is invalid.", OutcomeKind::Failed, false},
    {"FileUnreadableAtVerify", OutcomeCase::FileUnreadableAtVerify, u"Quorvel: unable to read file",
     u"The file could not be read.", OutcomeKind::Failed, false},
    {"NotPeFileAtVerify", OutcomeCase::NotPeFileAtVerify, u"Quorvel: not a PE file",
     u"The selected file is not a PE file.", OutcomeKind::Failed, false},
    {"InvalidPayloadAtVerify", OutcomeCase::InvalidPayloadAtVerify,
     u"Quorvel: invalid signature payload", u"The signature payload is invalid.",
     OutcomeKind::Failed, false},
    {"NoSignatureAtVerify", OutcomeCase::NoSignatureAtVerify, u"Quorvel: no signature",
     u"No signature was found during validation.", OutcomeKind::Failed, false},
    {"SignatureInvalid", OutcomeCase::SignatureInvalid, u"Quorvel: signature invalid",
     u"The signature does not match the file contents.", OutcomeKind::Failed, false},
    {"VerificationFailed", OutcomeCase::VerificationFailed, u"Quorvel: verification failed",
     u"Validation failed.", OutcomeKind::Failed, false},
    {"Revoked", OutcomeCase::Revoked, u"Quorvel: revoked", u"The signing key is revoked.",
     OutcomeKind::Failed, false},
    {"Verified", OutcomeCase::Verified, u"Quorvel: verified",
     u"The signature validated successfully.", OutcomeKind::Verified, false},
};

// An outcome as the job has it once it knows the domain and the description.
VerificationOutcome Midway() {
    VerificationOutcome outcome;
    outcome.statusText = u"old status";
    outcome.resultText = u"old result";
    outcome.domainText = u"signer.example";
    outcome.descriptionText = u"Release key";
    outcome.kind = OutcomeKind::Verified;
    return outcome;
}

TEST(OutcomeTexts, EveryFixedCaseSetsItsTextsAndKind) {
    for (const CaseRow& row : kRows) {
        SCOPED_TRACE(row.name);
        VerificationOutcome outcome = Midway();
        SetOutcomeCase(outcome, row.outcomeCase);
        EXPECT_EQ(outcome.statusText, row.status);
        EXPECT_EQ(outcome.resultText, row.result);
        EXPECT_EQ(outcome.kind, row.kind);
        EXPECT_EQ(outcome.domainText,
                  row.domainBecomesNotAvailable ? u"(not available)" : u"signer.example");
        EXPECT_EQ(outcome.descriptionText, u"Release key") << "no case touches the description";
    }
}

TEST(OutcomeTexts, CancelledEmptiesStatusResultAndDomain) {
    VerificationOutcome outcome = Midway();
    outcome.descriptionText.clear();
    outcome.kind = OutcomeKind::Neutral;
    SetOutcomeCase(outcome, OutcomeCase::Cancelled);
    EXPECT_EQ(outcome.statusText, u"");
    EXPECT_EQ(outcome.resultText, u"");
    EXPECT_EQ(outcome.domainText, u"");
    EXPECT_EQ(outcome.kind, OutcomeKind::Neutral);
}

TEST(OutcomeTexts, FetchFailedCarriesTheErrorBetweenParentheses) {
    struct Row {
        const char* name;
        std::string error;
        std::u16string status;
    };
    const Row rows[] = {
        {"plain message", "Could not resolve host: nowhere.invalid",
         u"Quorvel: key fetch failed (Could not resolve host: nowhere.invalid)"},
        {"size message", "Vantor response exceeded the maximum allowed size",
         u"Quorvel: key fetch failed (Vantor response exceeded the maximum allowed size)"},
        {"empty message", "", u"Quorvel: key fetch failed ()"},
        {"ampersand and parentheses kept", "a & (b)", u"Quorvel: key fetch failed (a & (b))"},
        {"bytes widened one by one, sign-extended", std::string("\x7f\x80\xff", 3),
         std::u16string(u"Quorvel: key fetch failed (") + u'\x7f' + u'\xff80' + u'\xffff' + u")"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        VerificationOutcome outcome = Midway();
        outcome.descriptionText.clear();
        SetFetchFailed(outcome, row.error);
        EXPECT_EQ(outcome.statusText, row.status);
        EXPECT_EQ(outcome.resultText, u"Unable to fetch the signing key.");
        EXPECT_EQ(outcome.domainText, u"signer.example");
        EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
    }
}

TEST(OutcomeTexts, KeyResponseInvalidCarriesTheParserMessage) {
    const char* messages[] = {"invalid JSON",          "missing jwk object",
                              "missing JWK fields",    "unexpected key type",
                              "kid mismatch",          "invalid public key encoding",
                              "missing status object", "missing status state",
                              "invalid status state",  "invalid description"};
    for (const char* message : messages) {
        SCOPED_TRACE(message);
        VerificationOutcome outcome = Midway();
        SetKeyResponseInvalid(outcome, message);
        std::u16string expected = u"Quorvel: key response invalid (";
        for (const char* c = message; *c != '\0'; ++c) {
            expected += static_cast<char16_t>(*c);
        }
        expected += u")";
        EXPECT_EQ(outcome.statusText, expected);
        EXPECT_EQ(outcome.resultText, u"The signing key response is invalid.");
        EXPECT_EQ(outcome.domainText, u"signer.example");
        EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
    }
}

TEST(OutcomeTexts, UnexpectedHttpStatusWritesTheNumberInDecimal) {
    struct Row {
        std::int32_t status;
        std::u16string status_line;
    };
    const Row rows[] = {
        {404, u"Quorvel: key fetch failed (HTTP 404)"},
        {301, u"Quorvel: key fetch failed (HTTP 301)"},
        {204, u"Quorvel: key fetch failed (HTTP 204)"},
        {0, u"Quorvel: key fetch failed (HTTP 0)"},
        {9, u"Quorvel: key fetch failed (HTTP 9)"},
        {10, u"Quorvel: key fetch failed (HTTP 10)"},
        {-1, u"Quorvel: key fetch failed (HTTP -1)"},
        {INT32_MAX, u"Quorvel: key fetch failed (HTTP 2147483647)"},
        {INT32_MIN, u"Quorvel: key fetch failed (HTTP -2147483648)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        VerificationOutcome outcome = Midway();
        SetUnexpectedHttpStatus(outcome, row.status);
        EXPECT_EQ(outcome.statusText, row.status_line);
        EXPECT_EQ(outcome.resultText, u"The signing key server returned an unexpected response.");
        EXPECT_EQ(outcome.domainText, u"signer.example");
        EXPECT_EQ(outcome.kind, OutcomeKind::Failed);
    }
}

TEST(OutcomeTexts, PageTextsBeforeAnOutcome) {
    EXPECT_EQ(kStatusChecking, u"Quorvel: checking...");
    EXPECT_EQ(kResultChecking, u"Checking Quorvel signature...");
    EXPECT_EQ(kDomainNotAvailable, u"(not available)");
    EXPECT_EQ(kDescriptionNotProvided, u"(not provided)");
}

TEST(OutcomeTexts, LibraryStatusesOfEachStage) {
    const struct {
        int status;
        OutcomeCase reading, verifying, verifyingRevoked;
    } rows[] = {
        {QUORVEL_OK, OutcomeCase::InfoUnavailable, OutcomeCase::Verified, OutcomeCase::Revoked},
        {QUORVEL_ERR_INVALID_ARGUMENT, OutcomeCase::InfoUnavailable,
         OutcomeCase::VerificationFailed, OutcomeCase::VerificationFailed},
        {QUORVEL_ERR_READ, OutcomeCase::FileUnreadable, OutcomeCase::FileUnreadableAtVerify,
         OutcomeCase::FileUnreadableAtVerify},
        {QUORVEL_ERR_NOT_PE, OutcomeCase::NotPeFile, OutcomeCase::NotPeFileAtVerify,
         OutcomeCase::NotPeFileAtVerify},
        {QUORVEL_ERR_NO_SIGNATURE, OutcomeCase::NoSignature, OutcomeCase::NoSignatureAtVerify,
         OutcomeCase::NoSignatureAtVerify},
        {QUORVEL_ERR_INVALID_PAYLOAD, OutcomeCase::InvalidPayload,
         OutcomeCase::InvalidPayloadAtVerify, OutcomeCase::InvalidPayloadAtVerify},
        {QUORVEL_ERR_SIGNATURE_INVALID, OutcomeCase::InfoUnavailable, OutcomeCase::SignatureInvalid,
         OutcomeCase::SignatureInvalid},
        {QUORVEL_ERR_KEY_MISMATCH, OutcomeCase::InfoUnavailable, OutcomeCase::VerificationFailed,
         OutcomeCase::VerificationFailed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.status);
        EXPECT_EQ(ReadingStageCase(row.status), row.reading);
        EXPECT_EQ(VerifyingStageCase(row.status, false), row.verifying);
        EXPECT_EQ(VerifyingStageCase(row.status, true), row.verifyingRevoked);
    }
}

}  // namespace
