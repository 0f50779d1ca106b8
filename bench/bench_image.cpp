// Whole-image operations on 4096 x 4096 images against memcpy/memset of the same bytes and,
// where installed, OpenCV's counterparts (one thread).
#include <benchmark/benchmark.h>
#include <tessera.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "image/image_internal.h"
#include "image/turns.h"

#ifdef TESSERA_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

template <class T> void plain_max_min(const T *p, std::size_t n, T *max, T *min);

namespace {

constexpr int side = 4096;

struct Fixture {
    AnyImageStruct *im;
    std::size_t size;
    explicit Fixture(uint16_t tag) {
        im = static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, side, side, 0, 0, nullptr, 0, 0, nullptr));
        size = tessera::detail::fixed_elem_size(tag);
        std::mt19937 rng(1);
        auto *p = tessera::detail::first_pixel(im, im->header, size);
        const std::size_t bytes = bytes_total();
        if (tag == IMAGE_FLOAT || tag == IMAGE_DOUBLE) {
            for (std::size_t i = 0; i < bytes / size; ++i) {
                const double v = static_cast<double>(rng() % 100000) / 7.0;
                if (tag == IMAGE_FLOAT) reinterpret_cast<float *>(p)[i] = static_cast<float>(v);
                else reinterpret_cast<double *>(p)[i] = v;
            }
        } else {
            for (std::size_t i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(rng());
        }
    }
    ~Fixture() { im_Free_(im, im->header->tag); }
    std::size_t bytes_total() const { return static_cast<std::size_t>(side) * side * size; }
    unsigned char *pixels() const { return tessera::detail::first_pixel(im, im->header, size); }
};

void set_bytes(benchmark::State &state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// --- duplicate -----------------------------------------------------------------------------
void dup_tessera(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    for (auto _ : state) {
        void *copy = im_Dup_(f.im, f.im->header);
        benchmark::DoNotOptimize(copy);
        im_Free_(copy, f.im->header->tag);
    }
    set_bytes(state, f.bytes_total());
}
void dup_memcpy(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    for (auto _ : state) {
        void *copy = std::malloc(f.bytes_total());
        std::memcpy(copy, f.pixels(), f.bytes_total());
        benchmark::DoNotOptimize(copy);
        std::free(copy);
    }
    set_bytes(state, f.bytes_total());
}

// The same work into an image that exists: what a new image's operation is measured against.
void dup_into(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0))), into(static_cast<uint16_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(imDupInto(into.im, f.im));
        benchmark::ClobberMemory();
    }
    set_bytes(state, f.bytes_total());
}

// --- initialise ----------------------------------------------------------------------------
void init_tessera(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    unsigned char value[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (auto _ : state) {
        im_Init_(f.im, f.im->header, value);
        benchmark::ClobberMemory();
    }
    set_bytes(state, f.bytes_total());
}
void init_memset(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    for (auto _ : state) {
        std::memset(f.pixels(), 7, f.bytes_total());
        benchmark::ClobberMemory();
    }
    set_bytes(state, f.bytes_total());
}

// --- crop a 2048 x 2048 window -------------------------------------------------------------
void crop_tessera(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    for (auto _ : state) {
        void *c = im_Crop_(f.im, f.im->header, 1024, 1024, 2048, 2048);
        benchmark::DoNotOptimize(c);
        im_Free_(c, f.im->header->tag);
    }
    set_bytes(state, f.bytes_total() / 4);
}
void crop_memcpy(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    const std::size_t row = 2048 * f.size, stride = side * f.size;
    for (auto _ : state) {
        auto *c = static_cast<unsigned char *>(std::malloc(row * 2048));
        for (int r = 0; r < 2048; ++r) std::memcpy(c + r * row, f.pixels() + (1024 + r) * stride + 1024 * f.size, row);
        benchmark::DoNotOptimize(c);
        std::free(c);
    }
    set_bytes(state, f.bytes_total() / 4);
}

void crop_into(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    AnyImageStruct *into =
        static_cast<AnyImageStruct *>(im_NewOrWrap_(f.im->header->tag, 2048, 2048, 0, 0, nullptr, 0, 0, nullptr));
    for (auto _ : state) {
        benchmark::DoNotOptimize(im_Crop_Into_(f.im, f.im->header, into, 1024, 1024, 0, 0, 2048, 2048));
        benchmark::ClobberMemory();
    }
    im_Free_(into, into->header->tag);
    set_bytes(state, f.bytes_total() / 4);
}

// --- 16-pixel border -----------------------------------------------------------------------
void border_tessera(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    for (auto _ : state) {
        AnyImageStruct *b = imBorders(f.im, 16);
        benchmark::DoNotOptimize(b);
        im_Free_(b, b->header->tag);
    }
    set_bytes(state, f.bytes_total());
}
void border_memcpy(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    const std::size_t row = side * f.size, out_row = (side + 32) * f.size;
    for (auto _ : state) {
        auto *b = static_cast<unsigned char *>(std::calloc(out_row, side + 32));
        for (int r = 0; r < side; ++r) std::memcpy(b + (r + 16) * out_row + 16 * f.size, f.pixels() + r * row, row);
        benchmark::DoNotOptimize(b);
        std::free(b);
    }
    set_bytes(state, f.bytes_total());
}

// The frame cleared and the image copied into a bordered image that exists.
void border_into(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    AnyImageStruct *into = static_cast<AnyImageStruct *>(
        im_NewOrWrap_(f.im->header->tag, side + 32, side + 32, 0, 0, nullptr, 0, 0, nullptr));
    const std::size_t out_row = (side + 32) * f.size;
    auto *b = tessera::detail::first_pixel(into, into->header, f.size);
    for (auto _ : state) {
        std::memset(b, 0, 16 * out_row);
        std::memset(b + (side + 16) * out_row, 0, 16 * out_row);
        for (int r = 16; r < side + 16; ++r) {
            std::memset(b + r * out_row, 0, 16 * f.size);
            std::memset(b + (r + 1) * out_row - 16 * f.size, 0, 16 * f.size);
        }
        benchmark::DoNotOptimize(imCropInto(into, f.im, 0, 0, side, side, 16, 16));
        benchmark::ClobberMemory();
    }
    im_Free_(into, into->header->tag);
    set_bytes(state, f.bytes_total());
}

// --- flips and turns -----------------------------------------------------------------------
// Each as a new image (the public functions) and into an image that exists, against memcpy of
// the same bytes between two that exist; im_Dup_ is the least any new result costs.
AnyImageStruct *turned(const AnyImageStruct *im, int64_t way) {
    switch (way) {
    case 0: return tessera_flip_horizontal(im);
    case 1: return tessera_flip_vertical(im);
    case 2: return tessera_rotate(im, 180);
    default: return tessera_rotate(im, 90);
    }
}
constexpr tessera::detail::Turn ways[] = {tessera::detail::Turn::flip_x, tessera::detail::Turn::flip_y,
                                          tessera::detail::Turn::half, tessera::detail::Turn::quarter_cw};
void turn_tessera(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    for (auto _ : state) {
        AnyImageStruct *t = turned(f.im, state.range(1));
        benchmark::DoNotOptimize(t);
        im_Free_(t, f.im->header->tag);
    }
    set_bytes(state, f.bytes_total());
}
void turn_into(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0))), into(static_cast<uint16_t>(state.range(0))); // square
    for (auto _ : state) {
        tessera::detail::turn_pixels(f.im, ways[state.range(1)], into.im);
        benchmark::ClobberMemory();
    }
    set_bytes(state, f.bytes_total());
}
void copy_into(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0))), into(static_cast<uint16_t>(state.range(0)));
    for (auto _ : state) {
        std::memcpy(into.pixels(), f.pixels(), f.bytes_total());
        benchmark::ClobberMemory();
    }
    set_bytes(state, f.bytes_total());
}

// --- nearest-neighbour scale ---------------------------------------------------------------
void scale_tessera(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    const int to = static_cast<int>(state.range(1));
    for (auto _ : state) {
        AnyImageStruct *s = imScale(f.im, to, to);
        benchmark::DoNotOptimize(s);
        im_Free_(s, s->header->tag);
    }
    set_bytes(state, static_cast<std::size_t>(to) * to * f.size);
}

// --- resize --------------------------------------------------------------------------------
// A 2048-square source of varied bytes to 1024 square (shrinking) or 4096 square (enlarging).
void resize_tessera(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    const int filter = static_cast<int>(state.range(1)), to = static_cast<int>(state.range(2));
    auto *im = static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, 2048, 2048, 0, 0, nullptr, 0, 0, nullptr));
    const std::size_t row = 2048 * (tag == IMAGE_RGB ? 3 : 1);
    for (int y = 0; y < 2048; ++y)
        for (std::size_t x = 0; x < row; ++x)
            static_cast<unsigned char *>(im->data[y])[x] = static_cast<unsigned char>(x * 7 + y * 13 + (x * y >> 5));
    for (auto _ : state) {
        AnyImageStruct *r = tessera_resize(im, to, to, filter);
        benchmark::DoNotOptimize(r);
        im_Free_(r, tag);
    }
    set_bytes(state, 2048 * row);
    im_Free_(im, tag);
}

// --- extrema -------------------------------------------------------------------------------
void extrema_tessera(benchmark::State &state) {
    Fixture f(static_cast<uint16_t>(state.range(0)));
    unsigned char mx[24], mn[24];
    for (auto _ : state) {
        im_MaxAndMin_(f.im, f.im->header, mx, mn);
        benchmark::DoNotOptimize(mx);
    }
    set_bytes(state, f.bytes_total());
}
template <class T> void extrema_plain_loop(benchmark::State &state, uint16_t tag) {
    Fixture f(tag);
    T mx, mn;
    for (auto _ : state) {
        plain_max_min<T>(reinterpret_cast<const T *>(f.pixels()), f.bytes_total() / sizeof(T), &mx, &mn);
        benchmark::DoNotOptimize(mx);
    }
    set_bytes(state, f.bytes_total());
}

const int tags[] = {IMAGE_GRAY, IMAGE_RGB, IMAGE_DOUBLE};

void per_tag(benchmark::internal::Benchmark *b) {
    for (int t : tags) b->Arg(t);
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(dup_tessera)->Apply(per_tag);
BENCHMARK(dup_memcpy)->Apply(per_tag);
BENCHMARK(dup_into)->Apply(per_tag);
BENCHMARK(init_tessera)->Apply(per_tag);
BENCHMARK(init_memset)->Apply(per_tag);
BENCHMARK(crop_tessera)->Apply(per_tag);
BENCHMARK(crop_memcpy)->Apply(per_tag);
BENCHMARK(crop_into)->Apply(per_tag);
BENCHMARK(border_tessera)->Apply(per_tag);
BENCHMARK(border_memcpy)->Apply(per_tag);
BENCHMARK(border_into)->Apply(per_tag);
BENCHMARK(turn_tessera)
    ->ArgsProduct({{IMAGE_GRAY, IMAGE_RGB, IMAGE_DOUBLE}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(turn_into)->ArgsProduct({{IMAGE_GRAY, IMAGE_RGB, IMAGE_DOUBLE}, {0, 1, 2, 3}})->Unit(benchmark::kMillisecond);
BENCHMARK(copy_into)->Apply(per_tag);
BENCHMARK(scale_tessera)
    ->ArgsProduct({{IMAGE_GRAY, IMAGE_RGB, IMAGE_DOUBLE}, {2048, 8192}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(resize_tessera)
    ->ArgsProduct({{IMAGE_GRAY, IMAGE_RGB}, {TESSERA_NEAREST, TESSERA_BILINEAR, TESSERA_LANCZOS3}, {1024, 4096}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(extrema_tessera)
    ->Arg(IMAGE_GRAY)
    ->Arg(IMAGE_FLOAT)
    ->Arg(IMAGE_INT)
    ->Arg(IMAGE_RGB)
    ->Arg(IMAGE_DOUBLE)
    ->Unit(benchmark::kMillisecond);
void extrema_plain_gray(benchmark::State &state) { extrema_plain_loop<uint8_t>(state, IMAGE_GRAY); }
void extrema_plain_float(benchmark::State &state) { extrema_plain_loop<float>(state, IMAGE_FLOAT); }
void extrema_plain_int(benchmark::State &state) { extrema_plain_loop<int32_t>(state, IMAGE_INT); }
BENCHMARK(extrema_plain_gray)->Unit(benchmark::kMillisecond);
BENCHMARK(extrema_plain_float)->Unit(benchmark::kMillisecond);
BENCHMARK(extrema_plain_int)->Unit(benchmark::kMillisecond);

#ifdef TESSERA_HAVE_OPENCV
int cv_type(int tag) { return tag == IMAGE_GRAY ? CV_8UC1 : tag == IMAGE_RGB ? CV_8UC3 : CV_64FC1; }

cv::Mat wrap(const Fixture &f, int tag) { return cv::Mat(side, side, cv_type(tag), f.pixels()); }

void opencv_clone(benchmark::State &state) {
    cv::setNumThreads(1);
    const int tag = static_cast<int>(state.range(0));
    Fixture f(static_cast<uint16_t>(tag));
    cv::Mat m = wrap(f, tag);
    for (auto _ : state) benchmark::DoNotOptimize(m.clone().data);
    set_bytes(state, f.bytes_total());
}
void opencv_set_to(benchmark::State &state) {
    cv::setNumThreads(1);
    const int tag = static_cast<int>(state.range(0));
    Fixture f(static_cast<uint16_t>(tag));
    cv::Mat m = wrap(f, tag);
    for (auto _ : state) {
        m.setTo(cv::Scalar(1, 2, 3));
        benchmark::ClobberMemory();
    }
    set_bytes(state, f.bytes_total());
}
void opencv_roi_copy(benchmark::State &state) {
    cv::setNumThreads(1);
    const int tag = static_cast<int>(state.range(0));
    Fixture f(static_cast<uint16_t>(tag));
    cv::Mat m = wrap(f, tag);
    for (auto _ : state) benchmark::DoNotOptimize(m(cv::Rect(1024, 1024, 2048, 2048)).clone().data);
    set_bytes(state, f.bytes_total() / 4);
}
void opencv_border(benchmark::State &state) {
    cv::setNumThreads(1);
    const int tag = static_cast<int>(state.range(0));
    Fixture f(static_cast<uint16_t>(tag));
    cv::Mat m = wrap(f, tag);
    for (auto _ : state) {
        cv::Mat out;
        cv::copyMakeBorder(m, out, 16, 16, 16, 16, cv::BORDER_CONSTANT, cv::Scalar::all(0));
        benchmark::DoNotOptimize(out.data);
    }
    set_bytes(state, f.bytes_total());
}
void opencv_resize(benchmark::State &state) {
    cv::setNumThreads(1);
    const int tag = static_cast<int>(state.range(0));
    const int to = static_cast<int>(state.range(1));
    Fixture f(static_cast<uint16_t>(tag));
    cv::Mat m = wrap(f, tag);
    for (auto _ : state) {
        cv::Mat out;
        cv::resize(m, out, cv::Size(to, to), 0, 0, cv::INTER_NEAREST);
        benchmark::DoNotOptimize(out.data);
    }
    set_bytes(state, static_cast<std::size_t>(to) * to * f.size);
}
void opencv_min_max(benchmark::State &state) {
    cv::setNumThreads(1);
    const int tag = static_cast<int>(state.range(0));
    Fixture f(static_cast<uint16_t>(tag));
    cv::Mat m = tag == IMAGE_FLOAT ? cv::Mat(side, side, CV_32FC1, f.pixels())
                : tag == IMAGE_INT ? cv::Mat(side, side, CV_32SC1, f.pixels())
                                   : wrap(f, tag);
    for (auto _ : state) {
        double lo, hi;
        cv::minMaxLoc(m, &lo, &hi);
        benchmark::DoNotOptimize(hi);
    }
    set_bytes(state, f.bytes_total());
}
BENCHMARK(opencv_clone)->Apply(per_tag);
BENCHMARK(opencv_set_to)->Apply(per_tag);
BENCHMARK(opencv_roi_copy)->Apply(per_tag);
BENCHMARK(opencv_border)->Apply(per_tag);
BENCHMARK(opencv_resize)
    ->ArgsProduct({{IMAGE_GRAY, IMAGE_RGB, IMAGE_DOUBLE}, {2048, 8192}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(opencv_min_max)
    ->Arg(IMAGE_GRAY)
    ->Arg(IMAGE_FLOAT)
    ->Arg(IMAGE_INT)
    ->Arg(IMAGE_DOUBLE)
    ->Unit(benchmark::kMillisecond);
#endif

} // namespace

BENCHMARK_MAIN();
