#include "verification/verification_job.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/text_conversion.h"
#include "domain_check.h"
#include "keyclient/base64url.h"
#include "keyclient/http_get.h"
#include "keyclient/key_document.h"
#include "quorvel/quorvel.h"
#include "verification/file_stream.h"
#include "verification/outcome_texts.h"

namespace {

constexpr long kHttpOk = 200;
constexpr std::u16string_view kRevokedState = u"revoked";

// Hands the stream to the library. On QUORVEL_ERR_INVALID_ARGUMENT the library has not taken
// the stream, so it is closed here; every other status means the library closed it.
int ReadSignatureInfo(void* stream, quorvel_signature_info& info) {
    const int status = quorvel_read_signature_info(stream, FileStreamIo(), &info);
    if (status == QUORVEL_ERR_INVALID_ARGUMENT) {
        FileStreamIo()->close(stream);
    }
    return status;
}

int VerifyFile(void* stream, const Bytes32& publicKey, quorvel_verify_result& result) {
    const int status = quorvel_verify_file(stream, FileStreamIo(), publicKey.data(), &result);
    if (status == QUORVEL_ERR_INVALID_ARGUMENT) {
        FileStreamIo()->close(stream);
    }
    return status;
}

// The payload's domain: the bytes of the record's field before its first NUL.
std::string DomainOf(const quorvel_signature_info& info) {
    const std::string_view field(info.domain, sizeof info.domain);
    return std::string(field.substr(0, field.find('\0')));
}

// Step 4: the reading stage's cases by the library's status. True when the job goes on.
bool JudgeReadStatus(int status, VerificationOutcome& outcome) {
    switch (status) {
        case QUORVEL_OK:
            return true;
        case QUORVEL_ERR_NO_SIGNATURE:
            SetOutcomeCase(outcome, OutcomeCase::NoSignature);
            return false;
        case QUORVEL_ERR_NOT_PE:
            SetOutcomeCase(outcome, OutcomeCase::NotPeFile);
            return false;
        case QUORVEL_ERR_INVALID_PAYLOAD:
            SetOutcomeCase(outcome, OutcomeCase::InvalidPayload);
            return false;
        case QUORVEL_ERR_READ:
            SetOutcomeCase(outcome, OutcomeCase::FileUnreadable);
            return false;
        default:
            SetOutcomeCase(outcome, OutcomeCase::InfoUnavailable);
            return false;
    }
}

// Step 13: the verifying stage's cases by the library's status.
void JudgeVerifyStatus(int status, const std::u16string& state, VerificationOutcome& outcome) {
    switch (status) {
        case QUORVEL_OK:
            SetOutcomeCase(outcome,
                           state == kRevokedState ? OutcomeCase::Revoked : OutcomeCase::Verified);
            break;
        case QUORVEL_ERR_SIGNATURE_INVALID:
            SetOutcomeCase(outcome, OutcomeCase::SignatureInvalid);
            break;
        case QUORVEL_ERR_NO_SIGNATURE:
            SetOutcomeCase(outcome, OutcomeCase::NoSignatureAtVerify);
            break;
        case QUORVEL_ERR_INVALID_PAYLOAD:
            SetOutcomeCase(outcome, OutcomeCase::InvalidPayloadAtVerify);
            break;
        case QUORVEL_ERR_NOT_PE:
            SetOutcomeCase(outcome, OutcomeCase::NotPeFileAtVerify);
            break;
        case QUORVEL_ERR_READ:
            SetOutcomeCase(outcome, OutcomeCase::FileUnreadableAtVerify);
            break;
        default:
            SetOutcomeCase(outcome, OutcomeCase::VerificationFailed);
            break;
    }
}

bool IsSet(const std::atomic<std::uint8_t>* flag) { return flag != nullptr && flag->load() != 0; }

}  // namespace

VerificationOutcome RunVerification(const std::u16string& path,
                                    const std::atomic<std::uint8_t>* cancelled,
                                    const FetchOptions* fetchOptions) {
    VerificationOutcome outcome;
    if (path.empty()) {
        SetOutcomeCase(outcome, OutcomeCase::NoFileSelected);
        return outcome;
    }

    // Reading: what the payload says.
    quorvel_signature_info info{};
    void* stream = OpenFileStream(path);
    if (stream == nullptr) {
        SetOutcomeCase(outcome, OutcomeCase::FileUnreadable);
        return outcome;
    }
    if (!JudgeReadStatus(ReadSignatureInfo(stream, info), outcome)) {
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

    // Key lookup.
    std::string body;
    long httpStatus = 0;
    std::string error;
    if (!HttpGet(BuildKeyDocumentUrl(domain, keyIdText), &body, &httpStatus, &error,
                 fetchOptions)) {
        if (IsSet(cancelled)) {
            SetOutcomeCase(outcome, OutcomeCase::Cancelled);
        } else {
            SetFetchFailed(outcome, error);
        }
        return outcome;
    }
    if (httpStatus != kHttpOk) {
        SetUnexpectedHttpStatus(outcome, static_cast<std::int32_t>(httpStatus));
        return outcome;
    }
    Bytes32 publicKey{};
    std::u16string state;
    std::u16string description;
    if (!ParseKeyDocument(body, keyIdText, publicKey, &state, &description, &error)) {
        SetKeyResponseInvalid(outcome, error);
        return outcome;
    }
    outcome.descriptionText = description;

    // Verifying: the file is read again, whole, and judged by what it holds now.
    quorvel_verify_result result{};
    stream = OpenFileStream(path);
    if (stream == nullptr) {
        SetOutcomeCase(outcome, OutcomeCase::FileUnreadableAtVerify);
        return outcome;
    }
    JudgeVerifyStatus(VerifyFile(stream, publicKey, result), state, outcome);
    return outcome;
}

std::u16string ReadDomainPreview(const std::u16string& path) {
    if (path.empty()) {
        return std::u16string(kDomainNotAvailable);
    }
    quorvel_signature_info info{};
    void* stream = OpenFileStream(path);
    if (stream == nullptr) {
        return std::u16string(kDomainNotAvailable);
    }
    if (ReadSignatureInfo(stream, info) != QUORVEL_OK || info.domain[0] == '\0') {
        return std::u16string(kDomainNotAvailable);
    }
    const std::string domain = DomainOf(info);
    return Utf8ToWide(domain.c_str());
}
