#include "commands.h"

#include <string>
#include <thread>
#include <vector>

#include "common/text_conversion.h"
#include "parallel_runner.h"
#include "quorvel/quorvel.h"
#include "report.h"
#include "saved_key_documents.h"
#include "verification/caching_key_lookup.h"
#include "verification/fetching_key_lookup.h"
#include "verification/offline_key_lookup.h"
#include "verification/single_pass_reader.h"
#include "verification/verification_job.h"

namespace {

void Write(std::FILE* out, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

unsigned Jobs(const CommandLine& commandLine) {
    if (commandLine.jobs != 0) {
        return commandLine.jobs;
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

// Text blocks are separated by an empty line; JSON Lines follow each other.
std::string Separator(const CommandLine& commandLine, std::size_t index) {
    return commandLine.json || index == 0 ? "" : "\n";
}

}  // namespace

int RunVerifyCommand(const CommandLine& commandLine, std::FILE* out, std::FILE* err) {
    std::vector<SavedKeyDocument> documents;
    std::string error;
    if (!ReadSavedKeyDocuments(commandLine.keyDocuments, documents, error)) {
        std::fprintf(err, "quorvel-verify: %s\n", error.c_str());
        return kExitUsage;
    }
    FetchOptions options;
    if (!commandLine.caFile.empty()) {
        options.extraCaFile = commandLine.caFile.c_str();
    }
    // Saved documents first, the signer's server for the rest (unless offline), and each
    // address looked up once in the run.
    FetchingKeyLookup fetching(&options);
    OfflineKeyLookup saved(std::move(documents), commandLine.offline ? nullptr : &fetching);
    CachingKeyLookup keys(saved);

    const std::vector<std::string>& files = commandLine.files;
    std::vector<VerificationOutcome> outcomes(files.size());
    bool allVerified = true;
    RunInOrder(
        files.size(), Jobs(commandLine),
        [&](std::size_t index) {
            SinglePassReader reader;
            outcomes[index] = RunVerification(Utf8ToWide(files[index].c_str()), reader, keys,
                                              commandLine.requiredDomains, nullptr);
        },
        [&](std::size_t index) {
            const VerificationOutcome outcome = std::move(outcomes[index]);
            if (outcome.kind != OutcomeKind::Verified) {
                allVerified = false;
            }
            Write(out, Separator(commandLine, index) +
                           (commandLine.json ? FormatOutcomeJson(files[index], outcome) + "\n"
                                             : FormatOutcomeText(files[index], outcome)));
            std::fflush(out);
        });
    return allVerified ? kExitAllGood : kExitNotAllGood;
}

int RunInfoCommand(const CommandLine& commandLine, std::FILE* out) {
    const std::vector<std::string>& files = commandLine.files;
    std::vector<SignatureInfoReport> reports(files.size());
    bool allValid = true;
    RunInOrder(
        files.size(), Jobs(commandLine),
        [&](std::size_t index) { reports[index] = ReadSignatureInfoReport(files[index]); },
        [&](std::size_t index) {
            const SignatureInfoReport& report = reports[index];
            if (!report.opened || report.status != QUORVEL_OK) {
                allValid = false;
            }
            Write(out, Separator(commandLine, index) +
                           (commandLine.json ? FormatInfoJson(files[index], report) + "\n"
                                             : FormatInfoText(files[index], report)));
            std::fflush(out);
        });
    return allValid ? kExitAllGood : kExitNotAllGood;
}
