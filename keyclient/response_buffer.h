// The accumulator that the fetch's write callback fills, one per transfer.
#pragma once

#include <string>

struct ResponseBuffer {
    std::string data;       // the body received so far
    bool exceeded = false;  // a chunk would have taken the body past kMaxResponseBytes
};
