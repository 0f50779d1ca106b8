// Point-list state the tests and the unload hook reach.
#pragma once

#include <tessera/chunk.h>
#include <tessera/ptl.h>

#include <cstdio>

namespace tessera::detail {

extern Chunk pointlistchunk;
extern Chunk elementchunk;
extern GrayImageStruct *N_for_color;

bool ptlGoodElemType(unsigned char type);

// Reads the next line that is neither empty nor a comment, without its leading white space,
// into buf (300 characters); null at the end of the input.
char *getline(char *buf, FILE *fp);
void trimline(char *buf);

// Releases the module-level strings and images; run once when the library is unloaded.
void release_ptl_state();

} // namespace tessera::detail
