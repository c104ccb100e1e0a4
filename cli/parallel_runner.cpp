#include "parallel_runner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

void VerifyFilesInOrder(const std::vector<std::u16string>& paths, unsigned jobs,
                        const FetchOptions* fetchOptions, const OutcomeSink& sink) {
    std::vector<std::optional<VerificationOutcome>> outcomes(paths.size());
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<std::size_t> next{0};

    const auto work = [&] {
        for (;;) {
            const std::size_t index = next.fetch_add(1);
            if (index >= paths.size()) {
                return;
            }
            VerificationOutcome outcome = RunVerification(paths[index], nullptr, fetchOptions);
            {
                const std::lock_guard<std::mutex> lock(mutex);
                outcomes[index] = std::move(outcome);
            }
            ready.notify_all();
        }
    };

    const std::size_t threadCount = std::min<std::size_t>(std::max(jobs, 1U), paths.size());
    std::vector<std::thread> threads;
    threads.reserve(threadCount);
    for (std::size_t i = 0; i < threadCount; ++i) {
        threads.emplace_back(work);
    }

    for (std::size_t index = 0; index < paths.size(); ++index) {
        VerificationOutcome outcome;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [&] { return outcomes[index].has_value(); });
            outcome = std::move(*outcomes[index]);
            outcomes[index].reset();
        }
        sink(index, outcome);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}
