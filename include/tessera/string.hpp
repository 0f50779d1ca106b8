// tessera/string.hpp - counted strings: the same as <tessera/adt_strings.hpp>, named after the C header
// <tessera/adt_strings.h>; kept so that programs including this name still build.
#pragma once

#include "adt_strings.hpp"
