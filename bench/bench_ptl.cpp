// Rendering 100,000 random elements into 2048 x 2048 binary and colour images, and a binary
// fill of an empty 4096 x 4096 image beside memset of the same pixels.
#include <benchmark/benchmark.h>
#include <tessera.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#ifdef TESSERA_HAVE_CAIRO
#include <cairo.h>
#endif

namespace {

// count random dots, lines and ellipses in 2048 x 2048, pens from pen_min to pen_max, lines and
// semi-axes up to reach.
PointList random_drawing(int count, unsigned seed = 2024, float pen_min = 1, float pen_max = 5, float reach = 32) {
    PointList ptl = ptlNew(true, 0, 0, 2048, 2048, nullptr);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> pos(0, 2048), off(-reach, reach), pen(pen_min, pen_max);
    std::uniform_int_distribution<int> kind(PTL_POINT, PTL_ELLIPSE), byte(0, 255);
    for (int i = 0; i < count; ++i) {
        const int k = kind(rng);
        const RGB c{static_cast<uint8_t>(byte(rng)), static_cast<uint8_t>(byte(rng)), static_cast<uint8_t>(byte(rng))};
        const float x = pos(rng), y = pos(rng);
        const float a = k == PTL_LINE ? x + 2 * off(rng) : std::fabs(off(rng));
        const float b = k == PTL_LINE ? y + 2 * off(rng) : std::fabs(off(rng));
        ptlAddElem(ptl, ptlNewElem(static_cast<unsigned char>(k), c, pen(rng), x, y, a, b));
    }
    return ptl;
}

void render(benchmark::State &state) {
    const auto type = static_cast<unsigned short>(state.range(0));
    PointList ptl = random_drawing(100000);
    for (auto _ : state) {
        bool clipped;
        void *im = ptlRender(ptl, type, 1, 1, RGB{0, 0, 0}, &clipped);
        benchmark::DoNotOptimize(im);
        im_Free_(im, type);
    }
    ptlFree(ptl);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 100000);
    state.SetLabel(type == IMAGE_RGB ? "colour" : "binary");
}
BENCHMARK(render)->Arg(IMAGE_BINARY)->Arg(IMAGE_RGB)->Unit(benchmark::kMillisecond);

#ifdef TESSERA_HAVE_CAIRO
// The drawing's elements through cairo, without antialiasing: dots as filled discs of the pen's
// diameter, lines as strokes of the pen's width, ellipse outlines as stroked ellipses; in their
// own colours when colour is set. A reference for speed, not for pixels (cairo samples pixel
// centres, and paints each element over the last where tessera mixes them).
void draw_with_cairo(cairo_t *cr, PointList ptl, bool colour) {
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    for (_ListNode *n = liFirst(ptl->elements); n; n = liNext(n)) {
        const auto *e = static_cast<const PointListElemStruct *>(liGet(n));
        if (colour) cairo_set_source_rgb(cr, e->color.r / 255.0, e->color.g / 255.0, e->color.b / 255.0);
        cairo_set_line_width(cr, e->size);
        if (e->type == PTL_POINT) {
            cairo_arc(cr, e->x1, e->y1, e->size / 2 + 0.5, 0, 6.283185307);
            cairo_fill(cr);
        } else if (e->type == PTL_LINE) {
            cairo_move_to(cr, e->x1, e->y1);
            cairo_line_to(cr, e->x2, e->y2);
            cairo_stroke(cr);
        } else if (e->type == PTL_ELLIPSE && e->x2 > 0 && e->y2 > 0) {
            cairo_save(cr);
            cairo_translate(cr, e->x1, e->y1);
            cairo_scale(cr, e->x2, e->y2);
            cairo_arc(cr, 0, 0, 1, 0, 6.283185307);
            cairo_restore(cr);
            cairo_stroke(cr);
        }
    }
}

// The binary drawing through cairo's A1 surface (one bit a pixel).
void render_cairo_a1(benchmark::State &state) {
    PointList ptl = random_drawing(100000);
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_A1, 2048, 2048);
    for (auto _ : state) {
        cairo_t *cr = cairo_create(surface);
        cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        cairo_set_source_rgba(cr, 0, 0, 0, 1);
        draw_with_cairo(cr, ptl, false);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        benchmark::ClobberMemory();
    }
    cairo_surface_destroy(surface);
    ptlFree(ptl);
}
BENCHMARK(render_cairo_a1)->Unit(benchmark::kMillisecond);

// The colour drawing through cairo's RGB24 surface, each element in its own colour.
void render_cairo_rgb24(benchmark::State &state) {
    PointList ptl = random_drawing(100000);
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 2048, 2048);
    for (auto _ : state) {
        cairo_t *cr = cairo_create(surface);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_paint(cr);
        draw_with_cairo(cr, ptl, true);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        benchmark::ClobberMemory();
    }
    cairo_surface_destroy(surface);
    ptlFree(ptl);
}
BENCHMARK(render_cairo_rgb24)->Unit(benchmark::kMillisecond);
#endif

// Wide pens: one line across the image with a pen of a fifth of it, at growing scales (the
// plot count grows with the cube of the scale, the pixels with its square).
void thick_line(benchmark::State &state) {
    const auto type = static_cast<unsigned short>(state.range(0));
    const auto scale = static_cast<float>(state.range(1));
    PointList ptl = ptlNew(false, 0, 0, 500, 500, nullptr);
    ptlAddElem(ptl, ptlNewElem(PTL_LINE, RGB{200, 100, 50}, 100, 0, 0, 500, 500));
    for (auto _ : state) {
        void *im = ptlRender(ptl, type, scale, scale, RGB{0, 0, 0}, nullptr);
        benchmark::DoNotOptimize(im);
        im_Free_(im, type);
    }
    ptlFree(ptl);
    state.SetLabel(type == IMAGE_RGB ? "colour" : "binary");
}
BENCHMARK(thick_line)->ArgsProduct({{IMAGE_BINARY, IMAGE_RGB}, {1, 2, 4, 8}})->Unit(benchmark::kMillisecond);

// Renders ptl at scale 1 into the benchmark's element type (its first argument) as often as the
// benchmark asks, then frees it.
void render_repeatedly(benchmark::State &state, PointList ptl) {
    const auto type = static_cast<unsigned short>(state.range(0));
    for (auto _ : state) {
        void *im = ptlRender(ptl, type, 1, 1, RGB{0, 0, 0}, nullptr);
        benchmark::DoNotOptimize(im);
        im_Free_(im, type);
    }
    ptlFree(ptl);
    state.SetLabel(type == IMAGE_RGB ? "colour" : "binary");
}

// 2,000 random elements with pens of 5 to 30 pixels into 2048 x 2048.
void render_wide_pens(benchmark::State &state) { render_repeatedly(state, random_drawing(2000, 7, 5, 30, 64)); }
BENCHMARK(render_wide_pens)->Arg(IMAGE_BINARY)->Arg(IMAGE_RGB)->Unit(benchmark::kMillisecond);

// A strip of a tiled rendering: a line with a pen five times the strip's width along its
// 2,000-pixel length.
void strip(benchmark::State &state) {
    PointList ptl = ptlNew(true, 0, 0, 20, 2000, nullptr);
    ptlAddElem(ptl, ptlNewElem(PTL_LINE, RGB{200, 100, 50}, 100, 10, -10, 10, 2010));
    render_repeatedly(state, ptl);
}
BENCHMARK(strip)->Arg(IMAGE_BINARY)->Arg(IMAGE_RGB)->Unit(benchmark::kMillisecond);

// Drawings far beyond the image: ten ellipses with a semi-axis of 1e30 at scale 100 into
// 200 x 200, and a pen of 1e38 at scale 1000 into 2000 x 2000.
void hostile(benchmark::State &state) {
    const auto type = static_cast<unsigned short>(state.range(0));
    const bool ellipses = state.range(1) == 0;
    PointList ptl = ptlNew(false, 0, 0, 2, 2, nullptr);
    if (ellipses)
        for (int i = 0; i < 10; ++i) ptlAddElem(ptl, ptlNewElem(PTL_ELLIPSE, RGB{1, 2, 3}, 5, 1, 1, 1e30f, 1));
    else ptlAddElem(ptl, ptlNewElem(PTL_LINE, RGB{1, 2, 3}, 1e38f, 0, 0, 2, 2));
    const float scale = ellipses ? 100 : 1000;
    for (auto _ : state) {
        void *im = ptlRender(ptl, type, scale, scale, RGB{0, 0, 0}, nullptr);
        benchmark::DoNotOptimize(im);
        im_Free_(im, type);
    }
    ptlFree(ptl);
    state.SetLabel(std::string(type == IMAGE_RGB ? "colour" : "binary") + (ellipses ? " ellipses" : " pen"));
}
BENCHMARK(hostile)->ArgsProduct({{IMAGE_BINARY, IMAGE_RGB}, {0, 1}})->Unit(benchmark::kMillisecond);

// Parses and renders a drawing given as text, at scale 1, as often as the benchmark asks.
void render_text(benchmark::State &state, const char *text) {
    FILE *f = fmemopen(const_cast<char *>(text), std::strlen(text), "r");
    PointList ptl = ptlLoadF(f);
    std::fclose(f);
    if (!ptl) {
        state.SkipWithError("the drawing does not load");
        return;
    }
    const unsigned short type = ptl->color ? IMAGE_RGB : IMAGE_BINARY;
    for (auto _ : state) {
        void *im = ptlRender(ptl, type, 1, 1, RGB{0, 0, 0}, nullptr);
        if (!im) {
            state.SkipWithError(tessera_last_error());
            break;
        }
        im_Free_(im, type);
    }
    ptlFree(ptl);
}

// A wide colour pen over pixels that hold another colour: every pixel takes a few hundred mixes.
void colour_over_colour(benchmark::State &state) {
    render_text(state, state.range(0) == 1000
                           ? "CPTL 0 0 1000 1000\n2000p 500 500 0xff0000\n2000l 500 380 500 630 0x00ff00\n"
                           : "CPTL 0 0 2000 2000\n2000p 1000 1000 0xff0000\n2000l 1000 880 1000 1130 0x00ff00\n");
}
BENCHMARK(colour_over_colour)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);

// The same wide line at x = 0 and at x = 2^25, where floats are 4 apart.
void far_wide_pen(benchmark::State &state) {
    render_text(state, state.range(0) == 0 ? "PTL 0 0 1000 1000\n1200l 500 450 500 480\n"
                                           : "PTL 33554432 0 1000 1000\n1200l 33554932 450 33554932 480\n");
}
BENCHMARK(far_wide_pen)->Arg(0)->Arg(25)->Unit(benchmark::kMillisecond);

// A pen of 7 along a strip 560,000 pixels long and one high.
void long_strip(benchmark::State &state) { render_text(state, "PTL 0 0 560000 1\n7l 0 0 560000 0\n"); }
BENCHMARK(long_strip)->Unit(benchmark::kMillisecond);

constexpr int side = 4096;

void binary_fill(benchmark::State &state) {
    PointList ptl = ptlNew(false, 0, 0, side, side, nullptr);
    ptlAddElem(ptl, ptlNewElem(PTL_FILL, RGB{0, 0, 0}, 0, side / 2, side / 2, 0, 0));
    auto *im = static_cast<AnyImageStruct *>(im_NewOrWrap_(IMAGE_BINARY, side, side, 0, 0, nullptr, 0, 0, nullptr));
    PointListElem fill = static_cast<PointListElem>(liGet(liFirst(ptl->elements)));
    for (auto _ : state) {
        state.PauseTiming();
        int8_t zero = 0;
        im_Init_(im, im->header, &zero);
        state.ResumeTiming();
        benchmark::DoNotOptimize(ptl_RenderElem_(fill, im, im->header, 1, 1));
    }
    im_Free_(im, IMAGE_BINARY);
    ptlFree(ptl);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * side * side);
}
BENCHMARK(binary_fill)->Unit(benchmark::kMillisecond);

void fill_memset(benchmark::State &state) {
    auto *im = static_cast<AnyImageStruct *>(im_NewOrWrap_(IMAGE_BINARY, side, side, 0, 0, nullptr, 0, 0, nullptr));
    for (auto _ : state) {
        std::memset(im->data[0], 1, static_cast<std::size_t>(side) * side);
        benchmark::ClobberMemory();
    }
    im_Free_(im, IMAGE_BINARY);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * side * side);
}
BENCHMARK(fill_memset)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
