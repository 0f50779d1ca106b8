// The header tokenizer: white-space separated tokens read one character at a time, with "#"
// comments folded into the newline that ends them and their text kept for the caller.
#include <tessera/magic.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "error.h"
#include "magic_internal.h"
#include "per_thread.h"
#include "strings_internal.h"

namespace {

constexpr int32_t comment_capacity = 100;
constexpr int32_t word_capacity = 10;
constexpr std::size_t longest_word = 4096; // no header of any format needs a longer one

// The tokenizer's state is each thread's own, so that threads can read headers at once.
struct Tokenizer final : tessera::detail::ThreadState {
    adtStringHeader *comment = nullptr; // comment text since the last magicStart
    std::size_t comment_length = 0;     // its length, kept as it grows
    bool comment_lost = false;          // some comment text could not be stored
    adtStringHeader *word = nullptr;    // word buffer of magicGetFloat
    int64_t line = 1;                   // the line of the next character since magicStart
    int64_t word_line = 0;              // the line the last word read started on

    void release() noexcept override {
        strFree(comment);
        strFree(word);
        comment = word = nullptr;
        comment_length = 0;
    }
};

// This thread's tokenizer with its comment string, or null (reason set) when memory runs out.
Tokenizer *tok() {
    Tokenizer *t = tessera::detail::this_thread<Tokenizer>();
    if (t && !t->comment) {
        t->comment = strNew(comment_capacity);
        t->comment_length = 0;
    }
    if (t && t->comment) return t;
    tessera::detail::fail_memory(comment_capacity + 1, "the header's comment");
    return nullptr;
}

// Appends a piece of comment text; a piece that cannot be stored is dropped and remembered, so
// that no reader hands out a comment with text missing.
void keep_comment(Tokenizer &t, const char *text, std::size_t n) {
    if (n == 0) return;
    if (tessera::detail::str_append(t.comment, t.comment_length, text, n)) t.comment_length += n;
    else t.comment_lost = true;
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

} // namespace

namespace tessera::detail {

adtStringHeader *magicComment() {
    Tokenizer *t = tok();
    if (!t) return nullptr;
    if (t->comment_lost) return fail(Err::memory, "the header's comment could not be stored: out of memory"), nullptr;
    adtStringHeader *copy = strNewCopy(t->comment);
    if (!copy) fail_memory(t->comment_length + 1, "a copy of the comment");
    return copy;
}

int64_t header_line() {
    Tokenizer *t = tessera::detail::this_thread<Tokenizer>();
    return t ? t->line : 0;
}

bool write_comment_block(FILE *out, const adtStringHeader *comment, bool blank_after_mark) {
    const char *text = strGet(comment);
    if (std::fputc('#', out) == EOF) return false;
    for (const char *p = text; *p; ++p) {
        if (std::fputc(*p, out) == EOF) return false;
        // A mark after each line break that the text does not already follow with one. Point
        // lists mark every line feed, even before a '#' of the text, which the reader would
        // otherwise take for the mark and drop, and only line feeds (a comment line ends at a
        // line feed, so a mark after a carriage return would become text): a saved comment then
        // loads back unchanged.
        const bool mark = blank_after_mark ? (*p == '\n' || *p == '\r') && p[1] != '#' : *p == '\n';
        if (mark) {
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
    Tokenizer *t = tok();
    if (!t) return false;
    const std::size_t before = t->comment_length;
    const bool lost = t->comment_lost;
    const int c = skip_space(stream);
    if (c != -1) std::ungetc(c, stream);
    return t->comment_length != before || t->comment_lost != lost;
}

void describe_char(char *out, std::size_t n, int c) {
    if (c == -1) std::snprintf(out, n, "the end of the file");
    else if (c > ' ' && c < 127) std::snprintf(out, n, "'%c'", c);
    else std::snprintf(out, n, "byte 0x%02x", static_cast<unsigned>(c) & 0xffu);
}

} // namespace tessera::detail

using tessera::detail::describe_char;
using tessera::detail::Err;
using tessera::detail::fail;
using tessera::detail::is_space;
using tessera::detail::skip_space;

extern "C" {

int32_t magicStart(void) {
    Tokenizer *t = tok();
    if (!t) return -1;
    strClear(t->comment);
    t->comment_length = 0;
    t->comment_lost = false;
    t->line = 1;
    return 0;
}

int32_t magicGetChar(FILE *stream) {
    if (!stream) return fail(Err::argument, "no stream to read"), -1;
    Tokenizer *t = tok();
    if (!t) return -1;
    int c = getc_unlocked(stream);
    if (c != '#') {
        if (c == '\n') ++t->line;
        return c == EOF ? -1 : c;
    }
    // A comment is gathered in pieces and appended a piece at a time. NUL bytes are left out:
    // they would not change the text.
    char piece[256];
    std::size_t n = 0;
    for (;;) {
        c = getc_unlocked(stream);
        if (c == EOF) break;
        if (c != 0) piece[n++] = static_cast<char>(c);
        if (c == '\n') break;
        if (n == sizeof piece) keep_comment(*t, piece, n), n = 0;
    }
    keep_comment(*t, piece, n);
    if (c == '\n') ++t->line;
    return c == EOF ? -1 : c;
}

int32_t magicGetInt(FILE *stream, int32_t *value) {
    int c = skip_space(stream);
    const int64_t line = tessera::detail::header_line();
    char found[24];
    if (!is_digit(c)) {
        describe_char(found, sizeof found, c);
        return fail(Err::format, "line %lld: expected a number, found %s", static_cast<long long>(line), found), -1;
    }
    int64_t n = 0;
    bool too_big = false;
    for (; is_digit(c); c = magicGetChar(stream)) {
        n = n * 10 + (c - '0');
        if (n > INT32_MAX) {
            too_big = true;
            n = 0; // keep consuming digits without overflowing
        }
    }
    if (c == -1) return fail(Err::format, "line %lld: the file ends inside a number", static_cast<long long>(line)), -1;
    if (too_big) return fail(Err::format, "line %lld: a number above 2147483647", static_cast<long long>(line)), -1;
    if (value) *value = static_cast<int32_t>(n);
    return 0;
}

int32_t magicGetString(FILE *stream, adtStringHeader **s) {
    if (!s || !stream) return fail(Err::argument, "no stream or string to read into"), -1;
    if (!*s && !(*s = strNew(word_capacity))) return tessera::detail::fail_memory(word_capacity + 1, "a word"), -1;
    int c = skip_space(stream);
    const int64_t line = tessera::detail::header_line() - (c == '\n');
    if (Tokenizer *t = tessera::detail::this_thread<Tokenizer>()) t->word_line = line;
    strClear(*s);
    std::size_t length = 0, read = 0;
    for (; c != -1 && !is_space(c); c = magicGetChar(stream)) {
        if (++read > longest_word)
            return fail(Err::limit, "line %lld: a word longer than %zu characters", static_cast<long long>(line),
                        longest_word),
                   -1;
        if (c == 0) continue; // appending a NUL leaves the text as it is
        const char ch = static_cast<char>(c);
        if (!tessera::detail::str_append(*s, length++, &ch, 1)) // a word cut short is no word
            return tessera::detail::fail_memory(length * 2, "a word"), -1;
    }
    if (c == -1)
        return fail(Err::format, "line %lld: the file ends %s", static_cast<long long>(line),
                    read ? "inside a word" : "before the next word"),
               -1;
    return 0;
}

int32_t magicGetFloat(FILE *stream, float *value) {
    Tokenizer *t = tok();
    if (!t || magicGetString(stream, &t->word) != 0) return -1;
    float f;
    if (std::sscanf(strGet(t->word), "%f", &f) != 1)
        return fail(Err::format, "line %lld: expected a number, found '%.40s'", static_cast<long long>(t->word_line),
                    strGet(t->word)),
               -1;
    *value = f;
    return 0;
}

} // extern "C"
