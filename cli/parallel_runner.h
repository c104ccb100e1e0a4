// Runs one piece of work per file on several threads and hands the results on in input order.
#pragma once

#include <cstddef>
#include <functional>

// Calls work(index) for every index below count, at most jobs (at least 1) at the same time,
// and emit(index) on the calling thread in index order, each as soon as the work for it and
// for every index before it has finished. Work for different indices may overlap, so work
// writes only what belongs to its index. An exception from work reaches the caller at that
// index's turn, after the other threads have stopped. With one job, or one index, everything
// runs on the calling thread.
void RunInOrder(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& work,
                const std::function<void(std::size_t)>& emit);
