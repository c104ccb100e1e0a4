// The five licence notice blocks, generated at build time from the components' own licence
// files (see GenerateNoticeBlocks.cmake). Each is UTF-8 with LF line ends, begins with a line
// feed, its heading line and an empty line, and is followed by a NUL byte.
#pragma once

#include <array>
#include <cstddef>

extern const std::array<const char*, 5> kNoticeBlockTexts;
// Bytes of each block, without the NUL byte.
extern const std::array<std::size_t, 5> kNoticeBlockSizes;
