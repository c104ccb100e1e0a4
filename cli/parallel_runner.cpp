#include "parallel_runner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Joins the threads however the caller leaves, after telling them to take no more work.
class WorkerThreads {
  public:
    explicit WorkerThreads(std::atomic<std::size_t>& next, std::size_t count)
        : next_(next), count_(count) {}
    ~WorkerThreads() {
        next_.store(count_);
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    template <typename Body>
    void Start(std::size_t threadCount, const Body& body) {
        threads_.reserve(threadCount);
        for (std::size_t i = 0; i < threadCount; ++i) {
            threads_.emplace_back(body);
        }
    }

  private:
    std::atomic<std::size_t>& next_;
    std::size_t count_;
    std::vector<std::thread> threads_;
};

}  // namespace

void RunInOrder(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& work,
                const std::function<void(std::size_t)>& emit) {
    // One at a time needs no thread: the calling thread works and emits in turn.
    if (jobs <= 1 || count <= 1) {
        for (std::size_t index = 0; index < count; ++index) {
            work(index);
            emit(index);
        }
        return;
    }
    std::vector<char> done(count, 0);
    std::vector<std::exception_ptr> failures(count);
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<std::size_t> next{0};

    const auto body = [&] {
        for (;;) {
            const std::size_t index = next.fetch_add(1);
            if (index >= count) {
                return;
            }
            std::exception_ptr failure;
            try {
                work(index);
            } catch (...) {
                failure = std::current_exception();
            }
            {
                const std::lock_guard<std::mutex> lock(mutex);
                failures[index] = failure;
                done[index] = 1;
            }
            ready.notify_all();
        }
    };

    WorkerThreads threads(next, count);
    threads.Start(std::min<std::size_t>(std::max(jobs, 1U), count), body);
    for (std::size_t index = 0; index < count; ++index) {
        std::exception_ptr failure;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [&] { return done[index] != 0; });
            failure = failures[index];
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
        emit(index);
    }
}
