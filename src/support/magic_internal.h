// Tokenizer pieces the file formats use but clients do not see.
#pragma once

#include <tessera/adt_strings.h>

#include <cstdio>

namespace tessera::detail {

// A new copy of the comment text collected since the last magicStart, or null.
adtStringHeader *magicComment();

// Writes a comment block that the tokenizer reads back as the comment: "#", the text with a
// "#" after each line break that is not followed by one (and, when blank_after_mark, a blank
// after that mark unless the text has one), then two newlines. False at the first failed write.
bool write_comment_block(FILE *out, const adtStringHeader *comment, bool blank_after_mark);

// Reads on over white space and "#" comments (collecting their text as magicGetChar does) up
// to the next other character, which is put back. True when a comment was met.
bool skip_comment_block(FILE *stream);


} // namespace tessera::detail
