#include <tessera/error.h>
#include <tessera/image.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "support/images.h"
#include "support/test_support.h"

using namespace tessera::test;
using tessera::detail::fixed_elem_size;

namespace {
const uint16_t fixed_tags[] = {IMAGE_GRAY, IMAGE_FLOAT,   IMAGE_RGB,   IMAGE_DOUBLE,  IMAGE_BINARY,
                               IMAGE_INT,  IMAGE_POINTER, IMAGE_SHORT, IMAGE_FLOAT3A, IMAGE_FLOAT3B,
                               IMAGE_RGBA, IMAGE_GRAY16,  IMAGE_RGB16, IMAGE_RGBA16};

struct Elem5 {
    unsigned char b[5];
};

// An IMAGE_STRUCT handle: data and header, then the caller's own fields.
struct StructHandle {
    void **data;
    ImageHeader *header;
    int64_t mine;
    char name[8];
};

std::vector<unsigned char> pattern(std::size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 31 + seed);
    return v;
}
} // namespace

TEST(Image, NewImageOfEveryTagIsZeroWithItsOffsets) {
    for (uint16_t tag : fixed_tags) {
        Image im(tag, 3, 2, 5, -1);
        ASSERT_NE(im.im, nullptr) << tag;
        const std::size_t size = fixed_elem_size(tag);
        EXPECT_EQ(im.h()->tag, tag);
        EXPECT_EQ(im.h()->elemsize, 0);
        EXPECT_EQ(im.h()->handle, im.im);
        EXPECT_EQ(im.h()->comment, nullptr);
        EXPECT_FALSE(im.h()->wrapped);
        EXPECT_EQ(im.any()->user, 0);
        // The pixel run starts at (5, -1) and rows follow each other without gaps.
        unsigned char *first = tessera::detail::pixel_at(im.im, 5, -1, size);
        EXPECT_EQ(tessera::detail::pixel_at(im.im, 7, 0, size), first + 5 * size);
        for (std::size_t i = 0; i < 6 * size; ++i) ASSERT_EQ(first[i], 0) << tag;
        std::memset(first, 0xab, 6 * size); // every pixel is writable
    }
}

TEST(Image, WrappedMemoryIsAddressedAndLeftAlone) {
    unsigned char raw[12];
    for (int i = 0; i < 12; ++i) raw[i] = static_cast<unsigned char>(i);
    void *im = im_NewOrWrap_(IMAGE_RGB, 2, 2, 0, 0, raw, 0, 0, nullptr);
    ASSERT_NE(im, nullptr);
    EXPECT_TRUE(hdr(im)->wrapped);
    EXPECT_EQ(reinterpret_cast<unsigned char *>(&px<RGB>(im, 1, 0)), raw + 3);
    EXPECT_EQ(reinterpret_cast<unsigned char *>(&px<RGB>(im, 0, 1)), raw + 6);
    EXPECT_EQ(px<RGB>(im, 1, 1).b, 11);
    im_Free_(im, IMAGE_RGB);
    EXPECT_EQ(raw[11], 11); // still the caller's, untouched
}

TEST(Image, PrototypeGivesTheUserWord) {
    Image proto(IMAGE_INT, 1, 1);
    proto.any()->user = 77;
    Image im(im_NewOrWrap_(IMAGE_GRAY, 2, 2, 0, 0, nullptr, 0, 0, proto.im));
    EXPECT_EQ(im.any()->user, 77);
}

TEST(Image, NonPositiveOrOversizedDimensionsGiveNull) {
    const long live = tessera::detail::seam::live();
    EXPECT_EQ(im_NewOrWrap_(IMAGE_GRAY, 0, 5, 0, 0, nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(im_NewOrWrap_(IMAGE_GRAY, 5, -1, 0, 0, nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(im_NewOrWrap_(IMAGE_DOUBLE, INT32_MAX, INT32_MAX, 0, 0, nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(im_NewOrWrap_(IMAGE_STRUCT, 2, 2, 0, 0, nullptr, 40000, 24, nullptr), nullptr);
    EXPECT_EQ(im_NewOrWrap_(IMAGE_STRUCT, 2, 2, 0, 0, nullptr, -3, 24, nullptr), nullptr);
    EXPECT_EQ(im_NewOrWrap_(IMAGE_STRUCT, 2, 2, 0, 0, nullptr, 5, 8, nullptr), nullptr);
    // an image for a decoder to fill: fixed-size types only, refused with a reason otherwise
    EXPECT_EQ(tessera_image_new_unfilled(IMAGE_STRUCT, 2, 2), nullptr);
    EXPECT_EQ(tessera_last_error_code(), TESSERA_ERROR_ARGUMENT);
    EXPECT_EQ(tessera_image_new_unfilled(3, 2, 2), nullptr); // no tag
    EXPECT_EQ(tessera_image_new_unfilled(IMAGE_RGB16, 0, 2), nullptr);
    EXPECT_EQ(tessera_image_new_unfilled(IMAGE_DOUBLE, INT32_MAX, INT32_MAX), nullptr);
    {
        Image unfilled(tessera_image_new_unfilled(IMAGE_RGB16, 5, 3));
        ASSERT_NE(unfilled.im, nullptr);
        EXPECT_EQ(unfilled.h()->width, 5);
        EXPECT_EQ(unfilled.h()->xoffset, 0);
        EXPECT_EQ(unfilled.h()->tag, IMAGE_RGB16);
    }
    EXPECT_EQ(im_NewOrWrap_(IMAGE_STRUCT, 2, 2, 0, 0, nullptr, 5, 40000, nullptr), nullptr);
    EXPECT_EQ(tessera::detail::seam::live(), live);
}

TEST(Image, StructImagesCopyTheCallersPartOfThePrototype) {
    StructHandle proto{};
    proto.mine = 1234;
    std::strcpy(proto.name, "proto");
    auto *im =
        static_cast<StructHandle *>(im_NewOrWrap_(IMAGE_STRUCT, 4, 3, -2, 2, nullptr, 5, sizeof(StructHandle), &proto));
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(im->mine, 1234);
    EXPECT_STREQ(im->name, "proto");
    EXPECT_EQ(im->header->elemsize, 5);
    Elem5 e{{1, 2, 3, 4, 5}};
    im_Init_(im, im->header, &e);
    EXPECT_EQ(px<Elem5>(im, 1, 4).b[4], 5);
    EXPECT_EQ(px<Elem5>(im, -2, 2).b[0], 1);
    auto *dup = static_cast<StructHandle *>(im_Dup_(im, im->header));
    EXPECT_EQ(dup->mine, 1234);
    EXPECT_EQ(std::memcmp(&px<Elem5>(dup, 1, 4), &e, 5), 0);
    im_Free_(dup, IMAGE_STRUCT);
    im_Free_(im, IMAGE_STRUCT);
}

TEST(Image, DuplicateIsIndependentWithTheSameOffsets) {
    Image src(IMAGE_DOUBLE, 4, 3, -2, 7);
    src.any()->user = 5;
    for (int y = 7; y < 10; ++y)
        for (int x = -2; x < 2; ++x) src.at<double>(x, y) = x * 10 + y;
    Image dup(im_Dup_(src.im, src.h()));
    ASSERT_NE(dup.im, nullptr);
    EXPECT_EQ(dup.h()->xoffset, -2);
    EXPECT_EQ(dup.h()->yoffset, 7);
    EXPECT_EQ(dup.any()->user, 5);
    EXPECT_EQ(dup.at<double>(-2, 7), src.at<double>(-2, 7));
    EXPECT_EQ(dup.at<double>(1, 9), 19.0);
    dup.at<double>(0, 8) = -1;
    EXPECT_EQ(src.at<double>(0, 8), 8.0);
}

TEST(Image, DuplicateOfWrappedImageOwnsItsPixels) {
    uint8_t raw[6] = {1, 2, 3, 4, 5, 6};
    void *wrapped = im_NewOrWrap_(IMAGE_GRAY, 3, 2, 0, 0, raw, 0, 0, nullptr);
    void *dup = im_Dup_(wrapped, hdr(wrapped));
    EXPECT_FALSE(hdr(dup)->wrapped);
    EXPECT_EQ(px<uint8_t>(dup, 2, 1), 6);
    im_Free_(dup, IMAGE_GRAY);
    im_Free_(wrapped, IMAGE_GRAY);
    EXPECT_EQ(raw[5], 6);
}

TEST(Image, DuplicateDropsTheComment) {
    Image src(IMAGE_GRAY, 2, 2);
    src.h()->comment = strMake("kept by the source");
    Image dup(im_Dup_(src.im, src.h()));
    EXPECT_EQ(dup.h()->comment, nullptr);
}

TEST(Image, InitWritesTheElementEverywhere) {
    Image rgb(IMAGE_RGB, 37, 41, 3, -3);
    RGB c{10, 20, 30};
    im_Init_(rgb.im, rgb.h(), &c);
    for (int y = -3; y < 38; ++y)
        for (int x = 3; x < 40; ++x) {
            const RGB p = rgb.at<RGB>(x, y);
            ASSERT_TRUE(p.r == 10 && p.g == 20 && p.b == 30) << x << "," << y;
        }
    Image f3(IMAGE_FLOAT3A, 1000, 3);
    const float v[3] = {1.5f, -2.0f, 3.25f};
    im_Init_(f3.im, f3.h(), const_cast<float *>(v));
    for (int x = 0; x < 1000; ++x) ASSERT_EQ(std::memcmp(&f3.at<float[3]>(x, 2), v, 12), 0);
    for (uint16_t tag :
         {IMAGE_SHORT, IMAGE_INT, IMAGE_DOUBLE, IMAGE_GRAY, IMAGE_RGBA, IMAGE_GRAY16, IMAGE_RGB16, IMAGE_RGBA16}) {
        Image im(tag, 5, 5);
        const auto value = pattern(8, 3);
        im_Init_(im.im, im.h(), const_cast<unsigned char *>(value.data()));
        const std::size_t size = fixed_elem_size(tag);
        for (int i = 0; i < 25; ++i)
            ASSERT_EQ(std::memcmp(tessera::detail::first_pixel(im.im, im.h(), size) + i * size, value.data(), size), 0);
    }
}

TEST(Image, SetOffsetMovesIndicesNotPixels) {
    const long live = tessera::detail::seam::live();
    {
        Image im(IMAGE_INT, 2, 2);
        im.at<int32_t>(0, 0) = 1;
        im.at<int32_t>(1, 1) = 4;
        im_SetOffset_(im.im, im.h(), 10, -3);
        EXPECT_EQ(im.at<int32_t>(10, -3), 1);
        EXPECT_EQ(im.at<int32_t>(11, -2), 4);
        im_SetOffset_(im.im, im.h(), -100000, 99999);
        EXPECT_EQ(im.at<int32_t>(-99999, 100000), 4);
    }
    EXPECT_EQ(tessera::detail::seam::live(), live); // the free found the original storage
}

TEST(Image, ApplyDoesNothing) {
    Image im(IMAGE_GRAY, 2, 2);
    im.at<uint8_t>(1, 1) = 9;
    im_Apply_(im.im, nullptr, im.h());
    EXPECT_EQ(im.at<uint8_t>(1, 1), 9);
    EXPECT_EQ(im.at<uint8_t>(0, 0), 0);
}

// Colour and alpha, and 16-bit samples, channel by channel and unsigned.
TEST(ImageExtrema, AlphaAndSixteenBitImagesChannelByChannel) {
    Image rgba(IMAGE_RGBA, 3, 2, -1, 4);
    const RGBA px[] = {{1, 200, 3, 0}, {9, 8, 7, 255}, {5, 5, 250, 128}, {0, 1, 2, 3}, {4, 4, 4, 4}, {6, 7, 8, 9}};
    for (int i = 0; i < 6; ++i) rgba.at<RGBA>(-1 + i % 3, 4 + i / 3) = px[i];
    RGBA mx{}, mn{};
    im_MaxAndMinNoInf_(rgba.im, rgba.h(), &mx, &mn);
    EXPECT_TRUE(mx.r == 9 && mx.g == 200 && mx.b == 250 && mx.a == 255);
    EXPECT_TRUE(mn.r == 0 && mn.g == 1 && mn.b == 2 && mn.a == 0);
    Image deep(IMAGE_RGBA16, 40, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 40; ++x)
            deep.at<RGBA16>(x, y) = {static_cast<uint16_t>(1000 * x), static_cast<uint16_t>(65535 - x),
                                     static_cast<uint16_t>(40000 + y), static_cast<uint16_t>(x * y)};
    RGBA16 dmx{}, dmn{};
    im_MaxAndMin_(deep.im, deep.h(), &dmx, &dmn);
    EXPECT_TRUE(dmx.r == 39000 && dmx.g == 65535 && dmx.b == 40002 && dmx.a == 78);
    EXPECT_TRUE(dmn.r == 0 && dmn.g == 65496 && dmn.b == 40000 && dmn.a == 0);
    Image g16(IMAGE_GRAY16, 100, 1);
    g16.at<uint16_t>(37, 0) = 65535; // above INT16_MAX: compared unsigned
    g16.at<uint16_t>(2, 0) = 3;
    uint16_t gmx = 0, gmn = 1;
    im_MaxAndMin_(g16.im, g16.h(), &gmx, &gmn);
    EXPECT_EQ(gmx, 65535);
    EXPECT_EQ(gmn, 0);
}

TEST(ImageExtrema, SingleAndIntegerImages) {
    Image one(IMAGE_INT, 1, 1);
    one.at<int32_t>(0, 0) = -7;
    int32_t mx = 0, mn = 0;
    im_MaxAndMin_(one.im, one.h(), &mx, &mn);
    EXPECT_EQ(mx, -7);
    EXPECT_EQ(mn, -7);
    Image gray(IMAGE_GRAY, 2, 1), bin(IMAGE_BINARY, 2, 1);
    gray.at<uint8_t>(0, 0) = 200;
    gray.at<uint8_t>(1, 0) = 10;
    bin.at<uint8_t>(0, 0) = 200;
    bin.at<uint8_t>(1, 0) = 10;
    uint8_t gmx, gmn;
    im_MaxAndMin_(gray.im, gray.h(), &gmx, &gmn);
    EXPECT_EQ(gmx, 200);
    EXPECT_EQ(gmn, 10);
    int8_t bmx, bmn;
    im_MaxAndMin_(bin.im, bin.h(), &bmx, &bmn);
    EXPECT_EQ(bmx, 10);
    EXPECT_EQ(bmn, -56);
    Image big(IMAGE_SHORT, 301, 7, -4, 9);
    for (int y = 9; y < 16; ++y)
        for (int x = -4; x < 297; ++x) big.at<int16_t>(x, y) = static_cast<int16_t>((x * 37 + y * 11) % 1000);
    big.at<int16_t>(296, 15) = 31000;
    big.at<int16_t>(100, 12) = -31000;
    int16_t smx, smn;
    im_MaxAndMin_(big.im, big.h(), &smx, &smn);
    EXPECT_EQ(smx, 31000);
    EXPECT_EQ(smn, -31000);
    int16_t nmx, nmn;
    im_MaxAndMinNoInf_(big.im, big.h(), &nmx, &nmn);
    EXPECT_EQ(nmx, 31000);
    EXPECT_EQ(nmn, -31000);
}

TEST(ImageExtrema, ColourChannelsAreIndependent) {
    Image im(IMAGE_RGB, 2, 1);
    im.at<RGB>(0, 0) = RGB{255, 0, 0};
    im.at<RGB>(1, 0) = RGB{0, 0, 255};
    RGB mx, mn;
    im_MaxAndMin_(im.im, im.h(), &mx, &mn);
    EXPECT_TRUE(mx.r == 255 && mx.g == 0 && mx.b == 255);
    EXPECT_TRUE(mn.r == 0 && mn.g == 0 && mn.b == 0);
    Image f3(IMAGE_FLOAT3B, 100, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 100; ++x) {
            float *p = f3.at<float[3]>(x, y);
            p[0] = static_cast<float>(x);
            p[1] = static_cast<float>(-x - y);
            p[2] = static_cast<float>(y) * 0.5f;
        }
    float fmx[3], fmn[3];
    im_MaxAndMin_(f3.im, f3.h(), fmx, fmn);
    EXPECT_EQ(fmx[0], 99.0f);
    EXPECT_EQ(fmn[0], 0.0f);
    EXPECT_EQ(fmx[1], 0.0f);
    EXPECT_EQ(fmn[1], -101.0f);
    EXPECT_EQ(fmx[2], 1.0f);
    EXPECT_EQ(fmn[2], 0.0f);
}

namespace {
// The sequential IEEE rule, written plainly.
template <class T> void reference(const std::vector<T> &v, T &mx, T &mn) {
    mx = mn = v[0];
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (v[i] > mx) mx = v[i];
        else if (!(v[i] >= mn)) mn = v[i];
    }
}

template <class T> void expect_same_bits(T a, T b, const char *what) {
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << what << ": " << a << " vs " << b;
}

template <class T> void check_float_extrema(const std::vector<T> &values) {
    const uint16_t tag = sizeof(T) == 4 ? IMAGE_FLOAT : IMAGE_DOUBLE;
    Image im(tag, static_cast<int>(values.size()), 1);
    for (std::size_t i = 0; i < values.size(); ++i) im.at<T>(static_cast<int>(i), 0) = values[i];
    T mx, mn, rmx, rmn;
    im_MaxAndMin_(im.im, im.h(), &mx, &mn);
    reference(values, rmx, rmn);
    expect_same_bits(mx, rmx, "max");
    expect_same_bits(mn, rmn, "min");
}
} // namespace

TEST(ImageExtrema, FloatingPointFollowsTheSequentialIeeeRule) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    check_float_extrema<float>({1.0f, inf, -2.0f});
    check_float_extrema<float>({nan, 1.0f, 5.0f, -3.0f});            // NaN first: it stays the maximum
    check_float_extrema<float>({1.0f, 2.0f, nan, 0.5f, 7.0f, 3.0f}); // NaN later becomes the minimum
    check_float_extrema<float>({-1.0f, -0.0f, 0.0f, -5.0f});         // the first of equal zeros wins
    check_float_extrema<double>({3.0, -std::numeric_limits<double>::infinity(), 2.0});
    std::vector<float> many(1000);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = std::sin(static_cast<float>(i)) * 100;
    check_float_extrema(many);
    many[500] = nan;
    check_float_extrema(many);
    many[500] = 0.0f;
    many[900] = -0.0f;
    for (float &f : many) f = std::fabs(f); // zero becomes the minimum
    check_float_extrema(many);
    std::vector<double> doubles(333);
    for (std::size_t i = 0; i < doubles.size(); ++i) doubles[i] = std::cos(static_cast<double>(i)) * 1e6;
    check_float_extrema(doubles);
    doubles[0] = std::nan("");
    check_float_extrema(doubles);
}

TEST(ImageCrop, ClippedAtTheCornerKeepsCoordinates) {
    Image src(IMAGE_GRAY, 10, 10);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) src.at<uint8_t>(x, y) = static_cast<uint8_t>(x + 10 * y + 1);
    Image crop(im_Crop_(src.im, src.h(), 8, 8, 4, 4));
    ASSERT_NE(crop.im, nullptr);
    EXPECT_EQ(crop.h()->width, 4);
    EXPECT_EQ(crop.h()->xoffset, 8);
    EXPECT_EQ(crop.h()->yoffset, 8);
    int copies = 0, zeros = 0;
    for (int y = 8; y < 12; ++y)
        for (int x = 8; x < 12; ++x) {
            if (x < 10 && y < 10) {
                EXPECT_EQ(crop.at<uint8_t>(x, y), src.at<uint8_t>(x, y));
                ++copies;
            } else {
                EXPECT_EQ(crop.at<uint8_t>(x, y), 0);
                ++zeros;
            }
        }
    EXPECT_EQ(copies, 4);
    EXPECT_EQ(zeros, 12);
}

TEST(ImageCrop, EachSideAndThinRectangles) {
    Image src(IMAGE_SHORT, 6, 5, -3, 4);
    for (int y = 4; y < 9; ++y)
        for (int x = -3; x < 3; ++x) src.at<int16_t>(x, y) = static_cast<int16_t>(100 * x + y);
    Image left(im_Crop_(src.im, src.h(), -5, 5, 3, 2)); // crosses the left edge
    ASSERT_NE(left.im, nullptr);
    EXPECT_EQ(left.at<int16_t>(-5, 5), 0);
    EXPECT_EQ(left.at<int16_t>(-3, 6), src.at<int16_t>(-3, 6));
    Image bottom(im_Crop_(src.im, src.h(), 0, 7, 2, 5)); // crosses the bottom edge
    EXPECT_EQ(bottom.at<int16_t>(1, 8), src.at<int16_t>(1, 8));
    EXPECT_EQ(bottom.at<int16_t>(1, 9), 0);
    // one column wide, inside the source and clipped to a single column
    Image column(im_Crop_(src.im, src.h(), 1, 4, 1, 5));
    ASSERT_NE(column.im, nullptr);
    EXPECT_EQ(column.h()->width, 1);
    EXPECT_EQ(column.at<int16_t>(1, 8), src.at<int16_t>(1, 8));
    Image edge(im_Crop_(src.im, src.h(), 2, 4, 3, 1)); // overlaps a single column and row
    ASSERT_NE(edge.im, nullptr);
    EXPECT_EQ(edge.at<int16_t>(2, 4), src.at<int16_t>(2, 4));
    EXPECT_EQ(im_Crop_(src.im, src.h(), 3, 4, 2, 2), nullptr);  // misses on the right
    EXPECT_EQ(im_Crop_(src.im, src.h(), -3, 0, 2, 4), nullptr); // misses above
    EXPECT_EQ(im_Crop_(src.im, src.h(), 0, 4, 0, 2), nullptr);
}

TEST(ImageCrop, StructImagesCopyWholeElements) {
    auto *src =
        static_cast<StructHandle *>(im_NewOrWrap_(IMAGE_STRUCT, 3, 3, 0, 0, nullptr, 5, sizeof(StructHandle), nullptr));
    Elem5 e{{9, 8, 7, 6, 5}};
    im_Init_(src, src->header, &e);
    auto *crop = static_cast<StructHandle *>(im_Crop_(src, src->header, 1, 1, 2, 2));
    ASSERT_NE(crop, nullptr);
    EXPECT_EQ(crop->header->elemsize, 5);
    EXPECT_EQ(std::memcmp(&px<Elem5>(crop, 2, 2), &e, 5), 0);
    im_Free_(crop, IMAGE_STRUCT);
    im_Free_(src, IMAGE_STRUCT);
}

TEST(ImageCrop, IntoNewAndGivenImages) {
    Image src(IMAGE_INT, 8, 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) src.at<int32_t>(x, y) = x * 100 + y;
    Image made(im_Crop_Into_(src.im, src.h(), nullptr, 2, 3, 0, 0, 4, 2));
    ASSERT_NE(made.im, nullptr);
    EXPECT_EQ(made.h()->width, 4);
    EXPECT_EQ(made.at<int32_t>(0, 0), 203);
    EXPECT_EQ(made.at<int32_t>(3, 1), 504);

    const long live = tessera::detail::seam::live();
    EXPECT_EQ(im_Crop_Into_(src.im, src.h(), nullptr, 2, 3, 1, 0, 4, 2), nullptr);
    EXPECT_EQ(tessera::detail::seam::live(), live); // the image made for it is gone

    Image into(IMAGE_INT, 5, 5, 10, 10);
    int32_t seven = 7;
    im_Init_(into.im, into.h(), &seven);
    EXPECT_EQ(im_Crop_Into_(src.im, src.h(), into.im, 0, 0, 12, 13, 3, 2), into.im);
    EXPECT_EQ(into.at<int32_t>(12, 13), 0);
    EXPECT_EQ(into.at<int32_t>(14, 14), 201);
    EXPECT_EQ(into.at<int32_t>(11, 13), 7);
    Image other(IMAGE_FLOAT, 5, 5);
    EXPECT_EQ(im_Crop_Into_(src.im, src.h(), other.im, 0, 0, 0, 0, 2, 2), nullptr);
    EXPECT_EQ(im_Crop_Into_(src.im, src.h(), into.im, 0, 0, 13, 10, 3, 2), nullptr); // crosses the right edge
    EXPECT_EQ(into.at<int32_t>(14, 10), 7);
    EXPECT_EQ(im_Crop_Into_(src.im, src.h(), into.im, 6, 0, 10, 10, 3, 2), nullptr); // source misses
    EXPECT_EQ(im_Crop_Into_(src.im, src.h(), into.im, 0, 0, 10, 10, 0, 2), nullptr);
}

TEST(ImageAllocFailure, EveryCreatingOperationCleansUp) {
    uint8_t raw[4] = {1, 2, 3, 4};
    EXPECT_EQ(each_failure_gives_null([] { return im_NewOrWrap_(IMAGE_RGB, 3, 4, -1, 2, nullptr, 0, 0, nullptr); },
                                      [](void *im) { im_Free_(im, IMAGE_RGB); }),
              4);
    EXPECT_EQ(each_failure_gives_null([&] { return im_NewOrWrap_(IMAGE_GRAY, 2, 2, 0, 0, raw, 0, 0, nullptr); },
                                      [](void *im) { im_Free_(im, IMAGE_GRAY); }),
              3);
    EXPECT_EQ(each_failure_gives_null([] { return tessera_image_new_unfilled(IMAGE_RGB, 3, 4); },
                                      [](void *im) { im_Free_(im, IMAGE_RGB); }),
              4);
    Image src(IMAGE_DOUBLE, 6, 6, 1, 1);
    EXPECT_EQ(
        each_failure_gives_null([&] { return im_Dup_(src.im, src.h()); }, [](void *im) { im_Free_(im, IMAGE_DOUBLE); }),
        4);
    EXPECT_EQ(each_failure_gives_null([&] { return im_Crop_(src.im, src.h(), 0, 0, 3, 3); },
                                      [](void *im) { im_Free_(im, IMAGE_DOUBLE); }),
              4);
    EXPECT_EQ(each_failure_gives_null([&] { return im_Crop_Into_(src.im, src.h(), nullptr, 1, 1, 0, 0, 3, 3); },
                                      [](void *im) { im_Free_(im, IMAGE_DOUBLE); }),
              4);
}

TEST(ImageDeathTest, ChecksAndPanicsReportTheirTexts) {
    const auto abrt = testing::KilledBySignal(SIGABRT);
    const auto status1 = testing::ExitedWithCode(1);
    const char *file = "image.cpp";
    const std::string rcs = "$Id: image.cpp 1.0 $";
    unsigned char raw[8];
    Image gray(IMAGE_GRAY, 2, 2);
    EXPECT_EXIT(im_NewOrWrap_(IMAGE_STRUCT, 2, 2, 0, 0, nullptr, 0, 24, nullptr), abrt,
                assertion("type != IMAGE_STRUCT", file));
    EXPECT_EXIT(im_NewOrWrap_(IMAGE_GRAY, 2, 2, 0, 0, nullptr, 6, 0, nullptr), abrt,
                assertion("raw == NULL && type == IMAGE_STRUCT", file));
    EXPECT_EXIT(im_NewOrWrap_(IMAGE_STRUCT, 2, 2, 0, 0, raw, 2, 24, nullptr), abrt,
                assertion("raw == NULL && type == IMAGE_STRUCT", file));
    for (uint16_t bad : {3, 0, 32768})
        EXPECT_EXIT(im_NewOrWrap_(bad, 2, 2, 0, 0, nullptr, 0, 0, nullptr), status1,
                    panic_report("bad image tag", file, rcs));
    EXPECT_EXIT(im_Free_(nullptr, IMAGE_GRAY), abrt, assertion("im != (void *) NULL", file));
    EXPECT_EXIT(im_Free_(gray.im, 3), status1, panic_report("bad image tag", file, rcs));
    EXPECT_EXIT(im_Dup_(nullptr, gray.h()), abrt, assertion("im != (void *)NULL", file));
    EXPECT_EXIT(im_Dup_(gray.im, nullptr), abrt, assertion("header != (ImageHeader *)NULL", file));
    EXPECT_EXIT(im_Init_(nullptr, gray.h(), raw), abrt, assertion("im != (void *)NULL", file));
    EXPECT_EXIT(im_Init_(gray.im, nullptr, raw), abrt, assertion("header != (ImageHeader *)NULL", file));
    EXPECT_EXIT(im_SetOffset_(nullptr, gray.h(), 0, 0), abrt, assertion("im != (void *)NULL", file));
    EXPECT_EXIT(im_SetOffset_(gray.im, nullptr, 0, 0), abrt, assertion("header != (ImageHeader *)NULL", file));
    EXPECT_EXIT(im_MaxAndMin_(nullptr, gray.h(), raw, raw), abrt, assertion("im != (void *)NULL", file));
    EXPECT_EXIT(im_MaxAndMin_(gray.im, nullptr, raw, raw), abrt, assertion("header != (ImageHeader *)NULL", file));
    EXPECT_EXIT(im_MaxAndMinNoInf_(nullptr, gray.h(), raw, raw), abrt, assertion("im != (void *)NULL", file));
    EXPECT_EXIT(im_MaxAndMinNoInf_(gray.im, nullptr, raw, raw), abrt, assertion("header != (ImageHeader *)NULL", file));

    // A header whose tag was damaged reaches the same panic in every operation.
    ImageHeader bad = *gray.h();
    bad.tag = 3;
    EXPECT_EXIT(im_Dup_(gray.im, &bad), status1, panic_report("bad image tag", file, rcs));
    EXPECT_EXIT(im_Init_(gray.im, &bad, raw), status1, panic_report("bad image tag", file, rcs));
    EXPECT_EXIT(im_SetOffset_(gray.im, &bad, 1, 1), status1, panic_report("bad image tag", file, rcs));
    EXPECT_EXIT(im_MaxAndMin_(gray.im, &bad, raw, raw), status1, panic_report("bad image tag", file, rcs));
    EXPECT_EXIT(im_Crop_(gray.im, &bad, 0, 0, 2, 2), status1, panic_report("bad image tag", file, rcs));
    EXPECT_EXIT(im_Crop_Into_(gray.im, &bad, nullptr, 0, 0, 0, 0, 2, 2), status1,
                panic_report("bad image tag", file, rcs));

    Image ptr(IMAGE_POINTER, 2, 2), flt(IMAGE_FLOAT, 2, 2);
    EXPECT_EXIT(im_MaxAndMin_(ptr.im, ptr.h(), raw, raw), status1,
                panic_report("imMaxAndMin() not defined for pointer images", file, rcs));
    EXPECT_EXIT(im_MaxAndMinNoInf_(flt.im, flt.h(), raw, raw), status1, panic_report("bad image tag", file, rcs));
    auto *st =
        static_cast<StructHandle *>(im_NewOrWrap_(IMAGE_STRUCT, 2, 2, 0, 0, nullptr, 4, sizeof(StructHandle), nullptr));
    EXPECT_EXIT(im_MaxAndMin_(st, st->header, raw, raw), status1,
                panic_report("imMaxAndMin() not defined for struct images", file, rcs));
    EXPECT_EXIT(im_MaxAndMinNoInf_(st, st->header, raw, raw), status1,
                panic_report("imMaxAndMin() not defined for struct images", file, rcs));
    EXPECT_EXIT(im_Crop_Into_(st, st->header, nullptr, 0, 0, 0, 0, 1, 1), status1,
                panic_report("IMAGE_STRUCT not supported by imCropInto", file, rcs));
    im_Free_(st, IMAGE_STRUCT);
}

TEST(Image, LargeFillsOfEveryElementSize) {
    // Large enough for the streaming path, with elements that do not divide 64 bytes.
    Image rgb(IMAGE_RGB, 700, 700, -5, 3);
    RGB c{1, 2, 3};
    im_Init_(rgb.im, rgb.h(), &c);
    for (int y = 3; y < 703; ++y)
        for (int x = -5; x < 695; ++x) {
            const RGB p = rgb.at<RGB>(x, y);
            ASSERT_TRUE(p.r == 1 && p.g == 2 && p.b == 3) << x << "," << y;
        }
    Image f3(IMAGE_FLOAT3B, 600, 200);
    const float v[3] = {0.25f, 7.0f, -1.0f};
    im_Init_(f3.im, f3.h(), const_cast<float *>(v));
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 600; ++x) ASSERT_EQ(std::memcmp(&f3.at<float[3]>(x, y), v, 12), 0);
    auto *st = static_cast<StructHandle *>(
        im_NewOrWrap_(IMAGE_STRUCT, 1000, 300, 0, 0, nullptr, 5, sizeof(StructHandle), nullptr));
    Elem5 e{{5, 4, 3, 2, 1}};
    im_Init_(st, st->header, &e);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 1000; ++x) ASSERT_EQ(std::memcmp(&px<Elem5>(st, x, y), &e, 5), 0);
    im_Free_(st, IMAGE_STRUCT);
}

TEST(ImageExtrema, ZeroResultsKeepTheSignOfTheFirstZero) {
    for (bool negative_first : {false, true}) {
        std::vector<float> v(5000);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = 1.0f + static_cast<float>(i % 97);
        v[1234] = negative_first ? -0.0f : 0.0f;
        v[2345] = negative_first ? 0.0f : -0.0f;
        v[4000] = -0.0f;
        check_float_extrema(v);
        for (float &f : v) f = -f; // now zero is the maximum
        check_float_extrema(v);
    }
}
