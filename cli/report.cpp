#include "report.h"

#include <cstring>

#include "common/text_conversion.h"
#include "keyclient/base64url.h"
#include "quorvel/quorvel.h"
#include "text_encoding.h"
#include "verification/outcome_texts.h"
#include "verification/random_access_file.h"

namespace {

// Labels padded so that the texts line up.
constexpr const char* kStatusLabel = "  Status:              ";
constexpr const char* kDomainLabel = "  Verification domain: ";
constexpr const char* kDescriptionLabel = "  Key description:     ";
constexpr const char* kResultsLabel = "  Results:             ";
constexpr const char* kKeyIdLabel = "  Key id:              ";

std::string ForTerminal(std::u16string_view text) {
    return WideToUtf8(WithoutControlCharacters(text));
}

std::string FileHeader(const std::string& file) {
    return WideToUtf8(WithoutControlCharacters(Utf8ToWide(file.c_str()))) + "\n";
}

std::string Line(const char* label, const std::string& text) { return label + text + "\n"; }

const char* InfoStatusSentence(int status) {
    switch (status) {
        case QUORVEL_ERR_READ:
            return "The file could not be read.";
        case QUORVEL_ERR_NOT_PE:
            return "The file is not a PE file.";
        case QUORVEL_ERR_NO_SIGNATURE:
            return "The file carries no Quorvel signature.";
        case QUORVEL_ERR_INVALID_PAYLOAD:
            return "The file's Quorvel signature payload is invalid.";
        default:
            return "The signature library could not read the file.";
    }
}

}  // namespace

const char* KindName(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::Verified:
            return "verified";
        case OutcomeKind::Failed:
            return "failed";
        case OutcomeKind::Neutral:
            break;
    }
    return "neutral";
}

std::string FormatOutcomeText(const std::string& file, const VerificationOutcome& outcome) {
    const std::u16string_view description = outcome.descriptionText.empty()
                                                ? kDescriptionNotProvided
                                                : std::u16string_view(outcome.descriptionText);
    std::string text = FileHeader(file);
    text += Line(kStatusLabel, ForTerminal(outcome.statusText));
    text += Line(kDomainLabel, ForTerminal(outcome.domainText));
    text += Line(kDescriptionLabel, ForTerminal(description));
    text += Line(kResultsLabel, ForTerminal(outcome.resultText));
    return text;
}

std::string FormatOutcomeJson(const std::string& file, const VerificationOutcome& outcome) {
    std::string json = "{\"file\":" + JsonString(file);
    json += ",\"kind\":" + JsonString(KindName(outcome.kind));
    json += ",\"status\":" + JsonString(WideToUtf8(outcome.statusText));
    json += ",\"result\":" + JsonString(WideToUtf8(outcome.resultText));
    json += ",\"domain\":" + JsonString(WideToUtf8(outcome.domainText));
    json += ",\"description\":" + JsonString(WideToUtf8(outcome.descriptionText));
    json += "}";
    return json;
}

SignatureInfoReport ReadSignatureInfoReport(const std::string& path) {
    SignatureInfoReport report;
    void* file = OpenRandomAccessFile(Utf8ToWide(path.c_str()));
    if (file == nullptr) {
        return report;
    }
    report.opened = true;
    quorvel_file_scan scan{};
    report.status = quorvel_scan_file(file, RandomAccessFileIo(), 0, &scan);
    const quorvel_signature_info& info = scan.info;
    if (report.status != QUORVEL_OK) {
        return report;
    }
    const std::string_view field(info.domain, sizeof info.domain);
    report.domain = std::string(field.substr(0, field.find('\0')));
    Bytes32 keyId{};
    std::memcpy(keyId.data(), info.key_id, keyId.size());
    report.keyIdText = Base64UrlEncode(keyId);
    return report;
}

std::string FormatInfoText(const std::string& file, const SignatureInfoReport& report) {
    std::string text = FileHeader(file);
    if (!report.opened) {
        return text + "  The file could not be opened.\n";
    }
    if (report.status != QUORVEL_OK) {
        return text + "  " + InfoStatusSentence(report.status) + "\n";
    }
    const std::string domain = report.domain.empty()
                                   ? WideToUtf8(kDomainNotAvailable)
                                   : ForTerminal(Utf8ToWide(report.domain.c_str()));
    text += Line(kDomainLabel, domain);
    text += Line(kKeyIdLabel, report.keyIdText);
    return text;
}

std::string FormatInfoJson(const std::string& file, const SignatureInfoReport& report) {
    VerificationOutcome texts;
    if (!report.opened) {
        SetOutcomeCase(texts, OutcomeCase::FileUnreadable);
    } else if (report.status != QUORVEL_OK) {
        SetOutcomeCase(texts, ReadingStageCase(report.status));
    } else {
        SetOutcomeCase(texts, OutcomeCase::PayloadRead);
    }
    std::string json = "{\"file\":" + JsonString(file);
    json += ",\"kind\":" + JsonString(KindName(texts.kind));
    json += ",\"status\":" + JsonString(WideToUtf8(texts.statusText));
    json += ",\"result\":" + JsonString(WideToUtf8(texts.resultText));
    json += ",\"domain\":" + JsonString(report.domain);
    json += ",\"key_id\":" + JsonString(report.keyIdText);
    json += "}";
    return json;
}
