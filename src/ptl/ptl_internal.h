// Point-list state the tests and the unload hook reach.
#pragma once

#include <tessera/chunk.h>
#include <tessera/ptl.h>

#include <cstdio>

namespace tessera::detail {

extern Chunk pointlistchunk;
extern Chunk elementchunk;
// This thread's count image of colour rendering (null before its first colour rendering), and
// a way for tests to drop it so that the next start makes a new one.
GrayImageStruct *count_image();
void drop_count_image();

} // namespace tessera::detail
