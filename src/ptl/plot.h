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

// Each drawing routine returns true when some pixel it tried to set lies outside the image.
bool plot_color_point_1(RGBImageStruct *im, GrayImageStruct *count, float x, float y, RGB color);
bool plot_color_point(RGBImageStruct *im, GrayImageStruct *count, float x, float y, float size, RGB color);
bool plot_color_line(RGBImageStruct *im, GrayImageStruct *count, float x1, float y1, float x2, float y2, float width,
                     RGB color);
bool plot_color_ellipse(RGBImageStruct *im, GrayImageStruct *count, float cx, float cy, float rx, float ry, float width,
                        RGB color);
bool do_color_fill(RGBImageStruct *im, GrayImageStruct *count, float x, float y, RGB color);

bool plot_binary_point_1(BinaryImageStruct *im, float x, float y);
bool plot_binary_point(BinaryImageStruct *im, float x, float y, float size);
bool plot_binary_line(BinaryImageStruct *im, float x1, float y1, float x2, float y2, float width);
bool plot_binary_ellipse(BinaryImageStruct *im, float cx, float cy, float rx, float ry, float width);
// True when the seed lies outside the image or the fill ran out of memory (the pixels set so
// far stay set).
bool do_binary_fill(BinaryImageStruct *im, float x, float y);

} // namespace tessera::detail
