// Test seams of the worker. The product never calls these.
#pragma once

#include <cstddef>

// While set, StartVerificationWorker behaves as if the thread could not be started.
void RefuseWorkerThreadStartForTesting(bool refuse);

// Requests allocated and not yet freed, in the whole process.
std::size_t LiveVerificationRequestsForTesting();
