// tessera.hpp - the C++20 face of tessera, header-only, over the exported C functions.
//
// - Owning types are move-only values that give their C record back when they go: string,
//   list<T, OnRemove>, priority_queue<T, Compare>, generator, histogram, drawing, image<T> and
//   any_image. A moved-from object is empty.
// - Typed images: image<T> for each fixed element type (uint8_t gray, int8_t binary, int16_t,
//   int32_t, float, double, RGB, float3a, float3b), indexed in the image's own coordinates
//   (img(x, y) honours the offsets); image_view<T> is a non-owning, const-correct view.
// - Errors: every precondition the C layer would stop the process for is checked first and
//   thrown as std::invalid_argument or std::out_of_range; a failure the C layer reports (null,
//   -1) throws tessera::error with the reason of tessera_last_error() (tessera::file_error, with
//   the path and the system's error code, for a file); exhausted memory throws std::bad_alloc
//   (tessera::out_of_memory, with the reason, when the library reported it). The try_ forms
//   (try_load, try_save, try_render...) return std::optional or bool instead and never throw;
//   they are all that is declared when exceptions are off.
// - Threads: as the C library (see tessera.h): distinct objects may be used on distinct threads.
#pragma once

#include <tessera.h>

#include "tessera/adt_strings.hpp"
#include "tessera/error.hpp"
#include "tessera/generator.hpp"
#include "tessera/hist.hpp"
#include "tessera/image.hpp"
#include "tessera/list.hpp"
#include "tessera/priq.hpp"
#include "tessera/ptl.hpp"
