// The header tokenizer: white-space separated tokens read one character at a time, with "#"
// comments folded into the newline that ends them and their text kept for the caller.
#include <tessera/magic.h>

#include <cstdint>
#include <cstdio>

#include "magic_internal.h"

namespace {

constexpr int32_t comment_capacity = 100;
constexpr int32_t word_capacity = 10;

adtStringHeader *magic_comment = nullptr; // comment text since the last magicStart
adtStringHeader *string = nullptr;        // word buffer of magicGetFloat

bool ensure_comment() {
    if (!magic_comment) magic_comment = strNew(comment_capacity);
    return magic_comment != nullptr;
}

// The six C white-space characters; end of file (-1) and bytes 128 to 255 are not among them.
bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }

int skip_space(FILE *stream) {
    int c;
    do c = magicGetChar(stream);
    while (is_space(c));
    return c;
}

} // namespace

namespace tessera::detail {

adtStringHeader *magicComment() { return strNewCopy(magic_comment); }

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

void release_magic_state() {
    strFree(magic_comment);
    strFree(string);
}

} // namespace tessera::detail

extern "C" {

int32_t magicStart(void) {
    if (!ensure_comment()) return -1;
    strClear(magic_comment);
    return 0;
}

int32_t magicGetChar(FILE *stream) {
    if (!stream) return -1;
    if (!ensure_comment()) return -1;
    int c = getc_unlocked(stream);
    if (c != '#') return c == EOF ? -1 : c;
    for (;;) {
        c = getc_unlocked(stream);
        if (c == EOF) return -1;
        strAddChar_(&magic_comment, static_cast<char>(c)); // a failed append drops the character
        if (c == '\n') return c;
    }
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
    for (; c != -1 && !is_space(c); c = magicGetChar(stream))
        if (!strAddChar_(s, static_cast<char>(c))) return -1; // a word cut short is no word
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
