// Parsing and checking of a fetched JSON key document.
#include "keyclient/key_document.h"

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

#include <rapidjson/document.h>

#include "common/text_conversion.h"

namespace {

// The one message whose assignment cannot itself run out of memory: it fits in any string's own
// storage (libstdc++, which both builds use, keeps up to 15 characters in the string itself).
static_assert(sizeof kKeyDocumentOutOfMemory - 1 <= 15);

// RapidJSON's own allocator hands a failed malloc on as a null block, which the parser then
// writes through. This one reports it as std::bad_alloc, which ParseKeyDocument catches. The
// parse unwinds cleanly from it: the pool and the stacks change only after an allocation has
// succeeded, and on the way out the document and the reader only empty their stacks and free
// their blocks, without allocating or looking into a half-made value. It serves as the stacks'
// allocator and as the base of the pool that holds the document's values.
class CheckedAllocator {
  public:
    [[maybe_unused]] static const bool kNeedFree = true;  // RapidJSON's allocator concept
    void* Malloc(std::size_t size) {
        if (size == 0) {
            return nullptr;
        }
        return Checked(std::malloc(size));
    }
    void* Realloc(void* block, std::size_t, std::size_t size) {
        if (size == 0) {
            std::free(block);
            return nullptr;
        }
        return Checked(std::realloc(block, size));  // on failure block stays the caller's
    }
    static void Free(void* block) { std::free(block); }

  private:
    static void* Checked(void* block) { return block != nullptr ? block : throw std::bad_alloc(); }
};

using JsonDocument =
    rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<CheckedAllocator>,
                               CheckedAllocator>;
using JsonValue = JsonDocument::ValueType;

// RapidJSON's DOM parser recurses once per nested array or object. A hostile body of 65536
// bytes could nest tens of thousands of levels and exhaust the stack of the worker thread, so
// deeper documents are refused as "invalid JSON" before the parser sees them. A real key
// document nests two levels; 256 leaves ample room for extension members.
constexpr std::size_t kMaxJsonDepth = 256;

// True when no array or object in body opens deeper than kMaxJsonDepth. Brackets inside
// strings do not count. For any text the parser accepts, this scan follows the same strings
// and therefore counts the true nesting; on text the parser rejects it may count differently,
// but the parser never gets deeper than the scan before it stops at the fault. The scan ends
// at a NUL outside a string, where the parser also stops reading.
bool NestingWithinLimit(std::string_view body) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : body) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
            case '\0':
                return true;
            case '"':
                inString = true;
                break;
            case '[':
            case '{':
                if (++depth > kMaxJsonDepth) {
                    return false;
                }
                break;
            case ']':
            case '}':
                if (depth > 0) {
                    --depth;
                }
                break;
            default:
                break;
        }
    }
    return true;
}

// RapidJSON skips each byte of a UTF-8 byte-order mark on its own (EF, then BB, then BF, each
// when present), so a body that starts with only part of the mark would parse as if the stray
// bytes were not there. Only the whole mark may precede the root value.
bool StartsWithPartialByteOrderMark(std::string_view body) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (body.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        return false;
    }
    if (body.empty()) {
        return false;
    }
    const auto first = static_cast<unsigned char>(body[0]);
    return first == 0xEF || first == 0xBB || first == 0xBF;
}

bool Fail(std::string* error, const char* message) {
    if (error != nullptr) {
        *error = message;
    }
    return false;
}

// Reads member name of object as a string, its value taken up to the first NUL.
bool GetStringMember(const JsonValue& object, const char* name, std::string& out) {
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) {
        return false;
    }
    out = member->value.GetString();
    return true;
}

// The checks of ParseKeyDocument; may throw std::bad_alloc.
bool CheckDocument(std::string_view body, std::string_view expectedKeyId, Bytes32& publicKey,
                   std::u16string* state, std::u16string* description, std::string* error) {
    // 1. JSON with an object at the root.
    if (StartsWithPartialByteOrderMark(body) || !NestingWithinLimit(body)) {
        return Fail(error, "invalid JSON");
    }
    JsonDocument document;
    document.Parse(body.data(), body.size());
    if (document.HasParseError() || !document.IsObject()) {
        return Fail(error, "invalid JSON");
    }

    // Members are looked up through a const view: comparing a const iterator with a mutable
    // one is ambiguous under C++20's reversed comparison operators.
    const JsonValue& root = document;

    // 2. The jwk object.
    const auto jwk = root.FindMember("jwk");
    if (jwk == root.MemberEnd() || !jwk->value.IsObject()) {
        return Fail(error, "missing jwk object");
    }

    // 3. Its four string members, in this order.
    std::string kty;
    std::string crv;
    std::string x;
    std::string kid;
    if (!GetStringMember(jwk->value, "kty", kty) || !GetStringMember(jwk->value, "crv", crv) ||
        !GetStringMember(jwk->value, "x", x) || !GetStringMember(jwk->value, "kid", kid)) {
        return Fail(error, "missing JWK fields");
    }

    // 4. An Ed25519 octet key pair.
    if (kty != "OKP" || crv != "Ed25519") {
        return Fail(error, "unexpected key type");
    }

    // 5. The key the signature names.
    if (kid != expectedKeyId) {
        return Fail(error, "kid mismatch");
    }

    // 6. The public key itself.
    if (!Base64UrlDecode(x, publicKey)) {
        return Fail(error, "invalid public key encoding");
    }

    // 7. The status object.
    const auto status = root.FindMember("status");
    if (status == root.MemberEnd() || !status->value.IsObject()) {
        return Fail(error, "missing status object");
    }

    // 8. Its state.
    std::string stateText;
    if (!GetStringMember(status->value, "state", stateText)) {
        return Fail(error, "missing status state");
    }

    // 9. One of the two known states.
    if (stateText != "active" && stateText != "revoked") {
        return Fail(error, "invalid status state");
    }

    // 10. The state, an ASCII word, widened byte by byte.
    if (state != nullptr) {
        *state = Widen(stateText);
    }

    // 11. The optional description must be a string when present.
    const auto descriptionMember = root.FindMember("description");
    const bool hasDescription = descriptionMember != root.MemberEnd();
    if (hasDescription && !descriptionMember->value.IsString()) {
        return Fail(error, "invalid description");
    }

    // 12. Its UTF-8 text, up to the first NUL, as UTF-16.
    if (description != nullptr && hasDescription) {
        *description = Utf8ToWide(descriptionMember->value.GetString());
    }

    // 13. Every check passed.
    return true;
}

}  // namespace

bool ParseKeyDocument(std::string_view body, std::string_view expectedKeyId, Bytes32& publicKey,
                      std::u16string* state, std::u16string* description, std::string* error) {
    // The parse runs on a thread inside the shell's process, where an exception would end the
    // job without an outcome: running out of memory is one more failure of the document.
    try {
        return CheckDocument(body, expectedKeyId, publicKey, state, description, error);
    } catch (const std::bad_alloc&) {
        return Fail(error, kKeyDocumentOutOfMemory);
    }
}
