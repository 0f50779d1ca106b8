// Flips, half and quarter turns and transposes written into an image that exists: the work of
// the geometry functions apart from making their result, which the benchmarks time separately.
#pragma once

#include <tessera/image.h>

namespace tessera::detail {

enum class Turn { flip_x, flip_y, half, quarter_cw, quarter_ccw, transpose };

// Writes image turned as how says into out, an image of the same fixed-size tag whose size is
// the turned size (width and height swapped by quarter turns and transposes).
void turn_pixels(const AnyImageStruct *image, Turn how, AnyImageStruct *out);

} // namespace tessera::detail
