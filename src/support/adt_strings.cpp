// Counted strings: a record holding a NUL-terminated buffer and its capacity. The length is
// never stored; it is counted whenever it is needed.
#include <tessera/adt_strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "alloc.h"
#include "check.h"
#include "strings_internal.h"

using tessera::detail::mem_alloc;
using tessera::detail::mem_free;

namespace {

constexpr int32_t default_capacity = 10;
constexpr int32_t add_char_capacity = 20;

// Shared by every null string; it lives in read-only memory, so a write through it faults.
char *const empty_text = const_cast<char *>("");

std::size_t length_of(const adtStringHeader *s) { return s ? std::strlen(s->chars) : 0; }

// Doubled capacities that would not fit the 32-bit field make the growth fail.
bool doubled(std::size_t n, int32_t *out) {
    if (n > INT32_MAX / 2) return false;
    *out = static_cast<int32_t>(2 * n);
    return true;
}

// Replaces the buffer of s by one of capacity n holding the same text. False, with s
// unchanged, when memory runs out.
bool rebuffer(adtStringHeader *s, int32_t n, std::size_t keep) {
    char *buf = static_cast<char *>(mem_alloc(static_cast<std::size_t>(n) + 1));
    if (!buf) return false;
    std::memcpy(buf, s->chars, keep);
    buf[keep] = '\0';
    mem_free(s->chars);
    s->chars = buf;
    s->maxLen = n;
    return true;
}

} // namespace

extern "C" {

adtStringHeader *strNew(int32_t n) {
    if (n <= 0) n = default_capacity;
    auto *s = tessera::detail::alloc_record<adtStringHeader>();
    if (!s) return nullptr;
    s->chars = static_cast<char *>(mem_alloc(static_cast<std::size_t>(n) + 1));
    if (!s->chars) {
        mem_free(s);
        return nullptr;
    }
    s->chars[0] = '\0';
    s->maxLen = n;
    return s;
}

void strFree(adtStringHeader *s) {
    if (!s) return;
    mem_free(s->chars);
    mem_free(s);
}

adtStringHeader *strClear(adtStringHeader *s) {
    if (s) s->chars[0] = '\0';
    return s;
}

adtStringHeader *strInit_(adtStringHeader **p, const char *text) {
    if (!text) return strClear(*p);
    const std::size_t n = std::strlen(text);
    if (n > INT32_MAX) return nullptr;
    if (!*p) {
        *p = strNew(static_cast<int32_t>(n));
        if (!*p) return nullptr;
    } else if (static_cast<std::size_t>((*p)->maxLen) < n) {
        char *buf = static_cast<char *>(mem_alloc(n + 1));
        if (!buf) return nullptr;
        mem_free((*p)->chars);
        (*p)->chars = buf;
        (*p)->maxLen = static_cast<int32_t>(n);
    }
    std::memmove((*p)->chars, text, n + 1);
    return *p;
}

adtStringHeader *strCopy_(adtStringHeader **p, const adtStringHeader *src) { return strInit_(p, strGet(src)); }

adtStringHeader *strNewCopy(const adtStringHeader *src) {
    if (!src) return nullptr;
    adtStringHeader *s = nullptr;
    return strInit_(&s, src->chars);
}

adtStringHeader *strCat_(adtStringHeader **p, const adtStringHeader *src) {
    const std::size_t a = length_of(src);
    const std::size_t b = length_of(*p);
    if (!*p) {
        if (a > INT32_MAX) return nullptr;
        *p = strNew(static_cast<int32_t>(a));
        if (!*p) return nullptr;
    }
    if (a + b > static_cast<std::size_t>((*p)->maxLen)) {
        int32_t cap;
        if (!doubled(a + b, &cap) || strNewLen_(p, cap) != 0) return nullptr;
    }
    // src may be *p itself: its text is [0, a) and the copy goes to [b, b + a) with b == a, so
    // the two never overlap as long as the terminator is written separately.
    if (a) std::memcpy((*p)->chars + b, src->chars, a);
    (*p)->chars[a + b] = '\0';
    return *p;
}

adtStringHeader *strAddChar_(adtStringHeader **p, char c) {
    if (!*p) {
        *p = strNew(add_char_capacity);
        if (!*p) return nullptr;
    }
    const std::size_t n = length_of(*p);
    if (n >= static_cast<std::size_t>((*p)->maxLen)) {
        int32_t cap;
        if (!doubled(n, &cap)) return nullptr;
        if (cap == 0) cap = add_char_capacity; // a capacity-0 string must still make room
        if (strNewLen_(p, cap) != 0) return nullptr;
    }
    (*p)->chars[n] = c;
    (*p)->chars[n + 1] = '\0';
    return *p;
}

int32_t strNewLen_(adtStringHeader **p, int32_t n) {
    if (!*p) {
        *p = strNew(n);
        return *p ? 0 : 1;
    }
    const std::size_t len = length_of(*p);
    if (n < 0 || static_cast<std::size_t>(n) < len) return 1;
    return rebuffer(*p, n, len) ? 0 : 1;
}

adtStringHeader *strMake(const char *text) {
    adtStringHeader *s = nullptr;
    return strInit_(&s, text);
}

int32_t strLen(const adtStringHeader *s) { return static_cast<int32_t>(length_of(s)); }

int32_t strCmp(const adtStringHeader *a, const adtStringHeader *b) {
    const int r = std::strcmp(strGet(a), strGet(b)); // strcmp compares bytes as unsigned char
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int32_t strMaxLen(const adtStringHeader *s) { return s ? s->maxLen : 0; }

char *strGet(const adtStringHeader *s) { return s ? s->chars : empty_text; }

char strRef(const adtStringHeader *s, int32_t i) {
    if (!s) return '\0';
    if (i < 0 || i >= s->maxLen) TESSERA_CHECK(0);
    return s->chars[i];
}

} // extern "C"

namespace tessera::detail {

bool str_append(adtStringHeader *s, std::size_t len, const char *bytes, std::size_t n) {
    if (len + n > static_cast<std::size_t>(s->maxLen)) {
        const std::size_t want =
            std::max({len + n, 2 * static_cast<std::size_t>(s->maxLen), static_cast<std::size_t>(add_char_capacity)});
        if (len + n > INT32_MAX) return false;
        if (!rebuffer(s, static_cast<int32_t>(std::min<std::size_t>(want, INT32_MAX)), len)) return false;
    }
    std::memcpy(s->chars + len, bytes, n);
    s->chars[len + n] = '\0';
    return true;
}

} // namespace tessera::detail
