// Utf8ToWide off Windows: a UTF-8 decoder that gives the same UTF-16 text as
// MultiByteToWideChar(CP_UTF8, 0, ...) for valid input.
//
// Invalid input is not refused. Each maximal subpart of an ill-formed sequence becomes one
// U+FFFD, the practice the Unicode Standard recommends (chapter 3, "U+FFFD Substitution of
// Maximal Subparts"):
//   - a byte that can never start a sequence (0x80-0xC1, 0xF5-0xFF) is one U+FFFD;
//   - a valid lead byte followed by fewer continuation bytes than it needs, where the first
//     unfitting byte (or the end of the text) cuts the sequence short, is one U+FFFD for the
//     whole valid prefix, and decoding resumes at the unfitting byte;
//   - the second byte's range depends on the lead byte, which rules out overlong forms,
//     surrogates (ED A0-BF) and values above U+10FFFF: E0 needs A0-BF, ED needs 80-9F,
//     F0 needs 90-BF and F4 needs 80-8F. So "E0 80" is two U+FFFD and "ED A0 80" is three.
#include "common/text_conversion.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr char16_t kReplacement = u'\uFFFD';

struct LeadInfo {
    int trailCount;            // continuation bytes needed after the lead byte
    std::uint8_t secondLow;    // allowed range of the byte right after the lead byte
    std::uint8_t secondHigh;
};

// False when the byte cannot start a sequence at all.
bool ClassifyLead(std::uint8_t lead, LeadInfo& info) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        info = {1, 0x80, 0xBF};
    } else if (lead == 0xE0) {
        info = {2, 0xA0, 0xBF};
    } else if (lead == 0xED) {
        info = {2, 0x80, 0x9F};
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        info = {2, 0x80, 0xBF};
    } else if (lead == 0xF0) {
        info = {3, 0x90, 0xBF};
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        info = {3, 0x80, 0xBF};
    } else if (lead == 0xF4) {
        info = {3, 0x80, 0x8F};
    } else {
        return false;
    }
    return true;
}

void AppendCodePoint(std::u16string& out, std::uint32_t codePoint) {
    if (codePoint < 0x10000) {
        out.push_back(static_cast<char16_t>(codePoint));
        return;
    }
    const std::uint32_t offset = codePoint - 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
}

}  // namespace

std::u16string Utf8ToWide(const char* text) {
    std::u16string out;
    if (text == nullptr) {
        return out;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const std::size_t length = std::strlen(text);
    out.reserve(length);

    std::size_t i = 0;
    while (i < length) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out.push_back(static_cast<char16_t>(lead));
            ++i;
            continue;
        }
        LeadInfo info{};
        if (!ClassifyLead(lead, info)) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        std::uint32_t codePoint = lead & (0xFFu >> (info.trailCount + 2));
        std::size_t next = i + 1;
        bool complete = true;
        for (int k = 0; k < info.trailCount; ++k, ++next) {
            // The terminating NUL at bytes[length] fits no range, so the loop never reads past it.
            const std::uint8_t byte = bytes[next];
            const std::uint8_t low = (k == 0) ? info.secondLow : 0x80;
            const std::uint8_t high = (k == 0) ? info.secondHigh : 0xBF;
            if (byte < low || byte > high) {
                complete = false;
                break;
            }
            codePoint = (codePoint << 6) | (byte & 0x3Fu);
        }
        if (complete) {
            AppendCodePoint(out, codePoint);
        } else {
            // The valid prefix [i, next) is one maximal subpart; the unfitting byte starts over.
            out.push_back(kReplacement);
        }
        i = next;
    }
    return out;
}
