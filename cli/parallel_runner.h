// Runs the verification job on many files at once and hands the outcomes back in input order.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "verification/verification_job.h"

// Called on the calling thread, once per path, in the order of paths.
using OutcomeSink = std::function<void(std::size_t index, const VerificationOutcome& outcome)>;

// Verifies every path with at most jobs (at least 1) jobs running at the same time. sink sees
// each outcome as soon as it and all outcomes before it are ready.
void VerifyFilesInOrder(const std::vector<std::u16string>& paths, unsigned jobs,
                        const FetchOptions* fetchOptions, const OutcomeSink& sink);
