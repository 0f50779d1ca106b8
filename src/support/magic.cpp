// The header tokenizer: white-space separated tokens read one character at a time, with "#"
// comments folded into the newline that ends them and their text kept for the caller.
#include <tessera/magic.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "magic_internal.h"
#include "strings_internal.h"
#include "unload.h"

namespace {

constexpr int32_t comment_capacity = 100;
constexpr int32_t word_capacity = 10;
constexpr std::size_t longest_word = 4096; // no header of any format needs a longer one

adtStringHeader *magic_comment = nullptr; // comment text since the last magicStart
std::size_t comment_length = 0;           // its length, kept as it grows
bool comment_lost = false;                // some comment text could not be stored
adtStringHeader *string = nullptr;        // word buffer of magicGetFloat

bool ensure_comment() {
    if (!magic_comment) {
        magic_comment = strNew(comment_capacity);
        comment_length = 0;
    }
    return magic_comment != nullptr;
}

// Appends a piece of comment text; a piece that cannot be stored is dropped and remembered, so
// that no reader hands out a comment with text missing.
void keep_comment(const char *text, std::size_t n) {
    if (n == 0) return;
    if (tessera::detail::str_append(magic_comment, comment_length, text, n)) comment_length += n;
    else comment_lost = true;
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

} // namespace

namespace tessera::detail {

adtStringHeader *magicComment() { return comment_lost ? nullptr : strNewCopy(magic_comment); }

bool write_comment_block(FILE *out, const adtStringHeader *comment, bool blank_after_mark) {
    const char *text = strGet(comment);
    if (std::fputc('#', out) == EOF) return false;
    for (const char *p = text; *p; ++p) {
        if (std::fputc(*p, out) == EOF) return false;
        if ((*p == '\n' || *p == '\r') && p[1] != '#') {
            if (std::fputc('#', out) == EOF) return false;
            if (blank_after_mark && p[1] != ' ' && std::fputc(' ', out) == EOF) return false;
        }
    }
    return std::fputs("\n\n", out) != EOF;
}

int skip_space(FILE *stream) {
    int c;
    do c = magicGetChar(stream);
    while (is_space(c));
    return c;
}

bool skip_comment_block(FILE *stream) {
    const std::size_t before = comment_length;
    const bool lost = comment_lost;
    const int c = skip_space(stream);
    if (c != -1) std::ungetc(c, stream);
    return comment_length != before || comment_lost != lost;
}

void release_magic_state() {
    strFree(magic_comment);
    strFree(string);
    magic_comment = string = nullptr;
}

namespace {
[[maybe_unused]] const bool released_at_unload = (at_unload(release_magic_state), true);
} // namespace

} // namespace tessera::detail

using tessera::detail::is_space;
using tessera::detail::skip_space;

extern "C" {

int32_t magicStart(void) {
    if (!ensure_comment()) return -1;
    strClear(magic_comment);
    comment_length = 0;
    comment_lost = false;
    return 0;
}

int32_t magicGetChar(FILE *stream) {
    if (!stream) return -1;
    if (!ensure_comment()) return -1;
    int c = getc_unlocked(stream);
    if (c != '#') return c == EOF ? -1 : c;
    // A comment is gathered in pieces and appended a piece at a time. NUL bytes are left out:
    // they would not change the text.
    char piece[256];
    std::size_t n = 0;
    for (;;) {
        c = getc_unlocked(stream);
        if (c == EOF) break;
        if (c != 0) piece[n++] = static_cast<char>(c);
        if (c == '\n') break;
        if (n == sizeof piece) keep_comment(piece, n), n = 0;
    }
    keep_comment(piece, n);
    return c == EOF ? -1 : c;
}

int32_t magicGetInt(FILE *stream, int32_t *value) {
    int c = skip_space(stream);
    if (!is_digit(c)) return -1;
    int64_t n = 0;
    bool too_big = false;
    for (; is_digit(c); c = magicGetChar(stream)) {
        n = n * 10 + (c - '0');
        if (n > INT32_MAX) {
            too_big = true;
            n = 0; // keep consuming digits without overflowing
        }
    }
    if (c == -1 || too_big) return -1;
    if (value) *value = static_cast<int32_t>(n);
    return 0;
}

int32_t magicGetString(FILE *stream, adtStringHeader **s) {
    if (!s || !stream) return -1;
    if (!*s && !(*s = strNew(word_capacity))) return -1;
    int c = skip_space(stream);
    strClear(*s);
    std::size_t length = 0, read = 0;
    for (; c != -1 && !is_space(c); c = magicGetChar(stream)) {
        if (++read > longest_word) return -1;
        if (c == 0) continue; // appending a NUL leaves the text as it is
        const char ch = static_cast<char>(c);
        if (!tessera::detail::str_append(*s, length++, &ch, 1)) return -1; // a word cut short is no word
    }
    return c == -1 ? -1 : 0;
}

int32_t magicGetFloat(FILE *stream, float *value) {
    if (magicGetString(stream, &string) != 0) return -1;
    float f;
    if (std::sscanf(strGet(string), "%f", &f) != 1) return -1;
    *value = f;
    return 0;
}

} // extern "C"
