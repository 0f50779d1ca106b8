// Point-list state the tests and the unload hook reach.
#pragma once

#include <tessera/chunk.h>
#include <tessera/ptl.h>

#include <cstdio>

namespace tessera::detail {

extern Chunk pointlistchunk;
extern Chunk elementchunk;
extern GrayImageStruct *N_for_color;

} // namespace tessera::detail
