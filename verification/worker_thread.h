// Inside the worker: the platform's thread start and the thread's portable body.
#pragma once

#include "verification/verification_worker.h"

// Starts a thread that runs VerificationThreadProc on request. The thread owns one reference
// on request once this returns true; on false no thread exists and the reference is the
// caller's to give back.
bool StartWorkerThread(VerificationRequest* request);

// What the thread does with its request: runs the job, delivers the outcome when the page
// still wants it, and gives back the thread's reference.
void ProcessVerificationRequest(VerificationRequest* request);
