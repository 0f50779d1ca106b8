// tessera/drawing.hpp - point lists (drawings) and their rendering: the same as <tessera/ptl.hpp>, named after the C
// header <tessera/ptl.h>; kept so that programs including this name still build.
#pragma once

#include "ptl.hpp"
