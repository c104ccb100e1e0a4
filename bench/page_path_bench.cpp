// quorvel-page-bench FILE CA_FILE: the property page's own path, natively, as the page calls it:
// the domain preview (what WM_INITDIALOG reads on the user-interface thread), then the job as the
// page's worker runs it, with a CA bundle for the loopback key server. Prints one line:
//   preview_s verdict_s preview_peak_kib peak_kib
// where verdict_s counts from the start of the preview, as the page's user waits for it, and
// the peaks are the process's resident high-water marks after each step. Exits 1 when the file
// does not verify or the preview does not show the outcome's domain.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/text_conversion.h"
#include "verification/verification_job.h"

namespace {

long PeakKib() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;  // KiB on Linux
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: quorvel-page-bench FILE CA_FILE\n", stderr);
        return 2;
    }
    const std::u16string path = Utf8ToWide(argv[1]);
    FetchOptions options;
    options.extraCaFile = argv[2];
    const std::atomic<std::uint8_t> cancelled{0};

    const auto start = std::chrono::steady_clock::now();
    const std::u16string preview = ReadDomainPreview(path);
    const double previewSeconds = SecondsSince(start);
    const long previewPeak = PeakKib();
    const VerificationOutcome outcome = RunVerification(path, &cancelled, &options);
    const double verdictSeconds = SecondsSince(start);

    std::printf("%.6f %.6f %ld %ld\n", previewSeconds, verdictSeconds, previewPeak, PeakKib());
    if (outcome.kind != OutcomeKind::Verified || preview != outcome.domainText) {
        std::fprintf(stderr, "quorvel-page-bench: %s; preview \"%s\", outcome domain \"%s\"\n",
                     WideToUtf8(outcome.statusText).c_str(), WideToUtf8(preview).c_str(),
                     WideToUtf8(outcome.domainText).c_str());
        return 1;
    }
    return 0;
}
