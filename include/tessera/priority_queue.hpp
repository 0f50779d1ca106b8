// tessera/priority_queue.hpp - a priority queue with handles: the same as <tessera/priq.hpp>, named after the C header
// <tessera/priq.h>; kept so that programs including this name still build.
#pragma once

#include "priq.hpp"
