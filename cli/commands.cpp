#include "commands.h"

#include <string>
#include <thread>
#include <vector>

#include "common/text_conversion.h"
#include "parallel_runner.h"
#include "quorvel/quorvel.h"
#include "report.h"

namespace {

void Write(std::FILE* out, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

unsigned DefaultJobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

}  // namespace

int RunVerifyCommand(const CommandLine& commandLine, std::FILE* out) {
    std::vector<std::u16string> paths;
    paths.reserve(commandLine.files.size());
    for (const std::string& file : commandLine.files) {
        paths.push_back(Utf8ToWide(file.c_str()));
    }
    FetchOptions options;
    if (!commandLine.caFile.empty()) {
        options.extraCaFile = commandLine.caFile.c_str();
    }

    bool allVerified = true;
    const unsigned jobs = commandLine.jobs == 0 ? DefaultJobs() : commandLine.jobs;
    VerifyFilesInOrder(
        paths, jobs, &options, [&](std::size_t index, const VerificationOutcome& outcome) {
            const std::string& file = commandLine.files[index];
            if (outcome.kind != OutcomeKind::Verified) {
                allVerified = false;
            }
            if (commandLine.json) {
                Write(out, FormatOutcomeJson(file, outcome) + "\n");
            } else {
                Write(out, (index == 0 ? "" : "\n") + FormatOutcomeText(file, outcome));
            }
            std::fflush(out);
        });
    return allVerified ? kExitAllGood : kExitNotAllGood;
}

int RunInfoCommand(const CommandLine& commandLine, std::FILE* out) {
    bool allValid = true;
    for (std::size_t index = 0; index < commandLine.files.size(); ++index) {
        const std::string& file = commandLine.files[index];
        const SignatureInfoReport report = ReadSignatureInfoReport(file);
        if (!report.opened || report.status != QUORVEL_OK) {
            allValid = false;
        }
        Write(out, (index == 0 ? "" : "\n") + FormatInfoText(file, report));
    }
    std::fflush(out);
    return allValid ? kExitAllGood : kExitNotAllGood;
}
