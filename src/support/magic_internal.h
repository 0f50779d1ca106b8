// Tokenizer pieces the file formats use but clients do not see.
#pragma once

#include <tessera/adt_strings.h>

#include "error.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tessera::detail {

// The six C white-space characters; end of file (-1) and bytes 128 to 255 are not among them.
constexpr bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads characters with magicGetChar while they are white space; the first other one (or -1).
int skip_space(FILE *stream);

// Runs use(stream) on the file at path opened with mode, or on std_stream when path is null
// (never closed). A file that cannot be opened gives failed; so does one that cannot be closed
// after use, once the result has been undone (undo(result)): a result whose file did not close
// cleanly is not trusted.
template <class R, class Use, class Undo>
R with_file(const char *path, const char *mode, FILE *std_stream, R failed, Use use, Undo undo) {
    FILE *fp = path ? std::fopen(path, mode) : std_stream;
    if (!fp) return fail_system(mode[0] == 'r' ? "cannot open" : "cannot create", path), failed;
    R result = use(fp);
    if (path && std::fclose(fp) != 0 && result != failed) {
        fail_system("cannot close", path);
        undo(result);
        return failed;
    }
    return result;
}

// A new copy of the comment text collected since the last magicStart, or null.
adtStringHeader *magicComment();

// Writes a comment block that the tokenizer reads back as the comment: "#", the text with a
// "#" after each line break that is not followed by one, then two newlines. The image flavour
// (blank_after_mark) adds a blank after each mark unless the text has one; the point-list
// flavour marks every line feed, even one followed by '#'. False at the first failed write.
bool write_comment_block(FILE *out, const adtStringHeader *comment, bool blank_after_mark);

// The line number (from 1, counted since magicStart) of the next character the tokenizer reads
// on this thread.
int64_t header_line();

// Names a character for a message: 'x', "byte 0x07", or "the end of the file" for -1.
void describe_char(char *out, std::size_t n, int c);

// Reads on over white space and "#" comments (collecting their text as magicGetChar does) up
// to the next other character, which is put back. True when a comment was met.
bool skip_comment_block(FILE *stream);

} // namespace tessera::detail
