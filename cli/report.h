// How quorvel-verify prints what it found: the page's four texts per file, as text or as one
// JSON object per line, and the offline --info report.
#pragma once

#include <string>

#include "verification/verification_job.h"

// The file name as a header line and the four texts under the page's labels, each line ended
// by '\n'. Texts from outside (domain, description, error details) have their control
// characters replaced.
std::string FormatOutcomeText(const std::string& file, const VerificationOutcome& outcome);

// One JSON object without a line end: "file", "kind", "status", "result", "domain",
// "description", in this order.
std::string FormatOutcomeJson(const std::string& file, const VerificationOutcome& outcome);

// "verified", "failed" or "neutral".
const char* KindName(OutcomeKind kind);

// What --info found in one file.
struct SignatureInfoReport {
    bool opened = false;    // the file could be opened
    int status = 0;         // the signature library's status when opened
    std::string domain;     // the payload's domain, UTF-8, on success
    std::string keyIdText;  // the payload's key id in base64url, on success
};

// Reads the payload of the file at path (UTF-8) without verifying anything. May run on several
// threads at once.
SignatureInfoReport ReadSignatureInfoReport(const std::string& path);

// The file name as a header line, then domain and key id, or a sentence saying why there are
// none.
std::string FormatInfoText(const std::string& file, const SignatureInfoReport& report);

// One JSON object without a line end: "file", "kind", "status", "result", "domain", "key_id",
// in this order. status and result are "Quorvel: payload read" and its sentence when the payload
// was read, otherwise the verification's texts for the reading failure; domain and key_id are
// the payload's, empty without one.
std::string FormatInfoJson(const std::string& file, const SignatureInfoReport& report);
