// Raster plotting of point-list elements: dots, wide lines, ellipse outlines and flood fills,
// into binary images (pixels set to 1) or RGB images mixed through a per-pixel count image.
// Coordinates and sizes are in the target image's own pixel coordinates.
#pragma once

#include <tessera/image.h>

#include <cstdint>

namespace tessera::detail {

// Rounding halves away from zero. Values beyond any image (and NaN) give coordinates that are
// outside every image rather than undefined behaviour.
int64_t fround(float v);

RGB combine(RGB old, int32_t n, RGB color);
void rgb_to_hsv(float r, float g, float b, float *h, float *s, float *v);
void hsv_to_rgb(float *r, float *g, float *b, float h, float s, float v);

// What drawing an element did: every pixel it tried lay inside the image, some lay outside
// (clipped, skipped), or the element cannot be drawn at all (failed, with the reason set): its
// walk stops advancing where its dots still reach the image, the rendering's pixel visits run
// out, or the fill runs out of memory. A failed element may have drawn part of itself, except a
// fill, which leaves the image as it found it.
enum Drawn : int { drawn_inside = 0, drawn_clipped = 1, drawn_failed = 2 };

// The pixel visits a rendering may still make. A dot visits the image pixels it reaches (a row
// of a wide dot at least one, a dot at least one); every element takes its visits from the
// rendering's allowance, which the budget sets (TESSERA_WORK_PER_BYTE a byte).
struct Allowance {
    int64_t left;
    int64_t total;
    static Allowance of_budget();
};

bool plot_color_point_1(RGBImageStruct *im, GrayImageStruct *count, float x, float y, RGB color);
Drawn plot_color_point(RGBImageStruct *im, GrayImageStruct *count, float x, float y, float size, RGB color,
                       Allowance &work);
Drawn plot_color_line(RGBImageStruct *im, GrayImageStruct *count, float x1, float y1, float x2, float y2, float width,
                      RGB color, Allowance &work);
Drawn plot_color_ellipse(RGBImageStruct *im, GrayImageStruct *count, float cx, float cy, float rx, float ry,
                         float width, RGB color, Allowance &work);
Drawn do_color_fill(RGBImageStruct *im, GrayImageStruct *count, float x, float y, RGB color);

bool plot_binary_point_1(BinaryImageStruct *im, float x, float y);
Drawn plot_binary_point(BinaryImageStruct *im, float x, float y, float size, Allowance &work);
Drawn plot_binary_line(BinaryImageStruct *im, float x1, float y1, float x2, float y2, float width, Allowance &work);
Drawn plot_binary_ellipse(BinaryImageStruct *im, float cx, float cy, float rx, float ry, float width, Allowance &work);
// Clipped when the seed lies outside the image.
Drawn do_binary_fill(BinaryImageStruct *im, float x, float y);

} // namespace tessera::detail
