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

// Releases the tokenizer's module-level strings; run once when the library is unloaded.
void release_magic_state();

} // namespace tessera::detail
