#include <tessera/error.h>
#include <tessera/imAdditions.h>

#include <string>

#include "support/images.h"
#include "support/test_support.h"

using namespace tessera::test;

namespace {
const uint16_t fixed_tags[] = {IMAGE_GRAY, IMAGE_FLOAT,   IMAGE_RGB,   IMAGE_DOUBLE,  IMAGE_BINARY,
                               IMAGE_INT,  IMAGE_POINTER, IMAGE_SHORT, IMAGE_FLOAT3A, IMAGE_FLOAT3B,
                               IMAGE_RGBA, IMAGE_GRAY16,  IMAGE_RGB16, IMAGE_RGBA16};

AnyImageStruct *as_any(const Image &im) { return im.any(); }

// Gives every pixel bytes that identify its column and row.
void stamp(const Image &im) {
    const std::size_t size = tessera::detail::fixed_elem_size(im.h()->tag);
    for (int r = 0; r < im.h()->height; ++r)
        for (int c = 0; c < im.h()->width; ++c) {
            unsigned char *p = tessera::detail::pixel_at(im.im, im.h()->xoffset + c, im.h()->yoffset + r, size);
            for (std::size_t b = 0; b < size; ++b) p[b] = static_cast<unsigned char>(c * 16 + r + b + 1);
        }
}

// Pixel bytes at column c and row r counted from the first column and row.
std::string bytes(AnyImageStruct *im, int c, int r) {
    const std::size_t size = tessera::detail::fixed_elem_size(im->header->tag);
    const unsigned char *p = tessera::detail::pixel_at(im, im->header->xoffset + c, im->header->yoffset + r, size);
    return std::string(reinterpret_cast<const char *>(p), size);
}

struct Owned {
    AnyImageStruct *im;
    explicit Owned(AnyImageStruct *p) : im(p) {}
    ~Owned() {
        if (im) im_Free_(im, im->header->tag);
    }
};
} // namespace

TEST(ImAdditions, BordersSurroundACopyWithZeros) {
    for (uint16_t tag : fixed_tags) {
        Image src(tag, 2, 3, 4, -6);
        stamp(src);
        Owned out(imBorders(as_any(src), 1));
        ASSERT_NE(out.im, nullptr);
        EXPECT_EQ(out.im->header->width, 4);
        EXPECT_EQ(out.im->header->height, 5);
        EXPECT_EQ(out.im->header->xoffset, 0);
        const std::string zero(tessera::detail::fixed_elem_size(tag), '\0');
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 4; ++c) {
                const bool inner = r >= 1 && r <= 3 && c >= 1 && c <= 2;
                EXPECT_EQ(bytes(out.im, c, r), inner ? bytes(src.any(), c - 1, r - 1) : zero) << tag;
            }
    }
    Image src(IMAGE_GRAY, 3, 3);
    stamp(src);
    Owned same(imBorders(as_any(src), 0));
    EXPECT_EQ(bytes(same.im, 2, 2), bytes(src.any(), 2, 2));
    EXPECT_EQ(imBorders(as_any(src), -1), nullptr);
}

TEST(ImAdditions, CropCopiesTheRegion) {
    for (uint16_t tag : fixed_tags) {
        Image src(tag, 7, 5, -3, 2);
        stamp(src);
        Owned full(imCrop(as_any(src), 0, 0, 7, 5));
        ASSERT_NE(full.im, nullptr);
        EXPECT_EQ(bytes(full.im, 6, 4), bytes(src.any(), 6, 4));
        Owned part(imCrop(as_any(src), 2, 1, 5, 4));
        ASSERT_NE(part.im, nullptr) << tag;
        EXPECT_EQ(part.im->header->width, 3);
        EXPECT_EQ(bytes(part.im, 0, 0), bytes(src.any(), 2, 1));
        EXPECT_EQ(bytes(part.im, 2, 2), bytes(src.any(), 4, 3));
    }
    Image src(IMAGE_GRAY, 4, 4);
    EXPECT_EQ(imCrop(as_any(src), 2, 0, 2, 3), nullptr);
}

TEST(ImAdditions, CropIntoAndDupInto) {
    Image from(IMAGE_FLOAT3A, 6, 4, 9, 9), into(IMAGE_FLOAT3A, 5, 5, -2, -2);
    stamp(from);
    const std::string untouched = bytes(into.any(), 0, 0);
    EXPECT_EQ(imCropInto(into.any(), from.any(), 1, 2, 3, 6, 1, 3), into.any());
    EXPECT_EQ(bytes(into.any(), 1, 3), bytes(from.any(), 2, 1));
    EXPECT_EQ(bytes(into.any(), 4, 4), bytes(from.any(), 5, 2));
    EXPECT_EQ(bytes(into.any(), 0, 0), untouched);
    Image copy(IMAGE_FLOAT3A, 6, 4, 1, 1);
    EXPECT_EQ(imDupInto(copy.any(), from.any()), copy.any());
    EXPECT_EQ(copy.h()->xoffset, 1);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c) EXPECT_EQ(bytes(copy.any(), c, r), bytes(from.any(), c, r));
}

TEST(ImAdditions, ScaleChoosesNearestColumnsFromTheCorner) {
    const auto columns = [](int from, int to) {
        Image src(IMAGE_GRAY, from, 1);
        for (int x = 0; x < from; ++x) src.at<uint8_t>(x, 0) = static_cast<uint8_t>(x);
        Owned out(imScale(as_any(src), to, 1));
        std::vector<int> picked;
        for (int x = 0; x < to; ++x) picked.push_back(px<uint8_t>(out.im, x, 0));
        return picked;
    };
    EXPECT_EQ(columns(4, 2), (std::vector<int>{0, 2}));
    EXPECT_EQ(columns(3, 2), (std::vector<int>{0, 2}));
    EXPECT_EQ(columns(2, 3), (std::vector<int>{0, 1, 1}));
    // Doubling: the last output columns would round to one past the source; they take its last.
    EXPECT_EQ(columns(2, 4), (std::vector<int>{0, 1, 1, 1}));
    EXPECT_EQ(columns(3, 7), (std::vector<int>{0, 0, 1, 1, 2, 2, 2}));
}

TEST(ImAdditions, ScaleRowsAndEveryTag) {
    for (uint16_t tag : fixed_tags) {
        Image src(tag, 4, 4, 3, 3);
        stamp(src);
        Owned half(imScale(as_any(src), 2, 2));
        ASSERT_NE(half.im, nullptr);
        EXPECT_EQ(bytes(half.im, 1, 1), bytes(src.any(), 2, 2)) << tag;
        Owned up(imScale(as_any(src), 9, 8));
        EXPECT_EQ(bytes(up.im, 8, 7), bytes(src.any(), 3, 3)) << tag;
    }
}

TEST(ImAdditions, ScaleToTheSameSizeDuplicates) {
    Image src(IMAGE_INT, 3, 2, 5, 6);
    src.at<int32_t>(7, 7) = 42;
    Owned dup(imScale(as_any(src), 3, 2));
    EXPECT_NE(dup.im, src.any());
    EXPECT_EQ(dup.im->header->xoffset, 5);
    EXPECT_EQ(px<int32_t>(dup.im, 7, 7), 42);
    EXPECT_EQ(imScale(as_any(src), -3, 2), nullptr);
}

TEST(ImAdditionsAllocFailure, CreatingOperationsReturnNullAndLeakNothing) {
    Image src(IMAGE_RGB, 8, 8);
    const auto run = [&](auto op, long expected) {
        EXPECT_EQ(each_allocation_failure([&](FailPoint &fp) {
                      fp.arm();
                      AnyImageStruct *im = op();
                      if (fp.fired()) {
                          EXPECT_EQ(im, nullptr);
                          EXPECT_NE(std::string(tessera_last_error()).find("out of memory"), std::string::npos)
                              << tessera_last_error();
                      } else {
                          im_Free_(im, IMAGE_RGB);
                      }
                  }),
                  expected);
    };
    run([&] { return imBorders(as_any(src), 2); }, 4);
    run([&] { return imCrop(as_any(src), 1, 1, 5, 5); }, 4);
    run([&] { return imScale(as_any(src), 3, 5); }, 5);
    run([&] { return imScale(as_any(src), 8, 8); }, 4);
}

TEST(ImAdditionsDeathTest, EveryCheckReportsItsExpression) {
    const auto abrt = testing::KilledBySignal(SIGABRT);
    const char *file = "imAdditions.cpp";
    Image a(IMAGE_GRAY, 4, 4), b(IMAGE_GRAY, 4, 4), bin(IMAGE_BINARY, 4, 4), small(IMAGE_GRAY, 3, 4);
    AnyImageStruct *A = a.any(), *B = b.any();
    EXPECT_EXIT(imCrop(A, 3, 0, 2, 1), abrt, assertion("cropWidth>=0", file));
    EXPECT_EXIT(imCrop(A, 0, 3, 1, 2), abrt, assertion("cropHeight>=0", file));
    EXPECT_EXIT(imCrop(A, -1, 0, 2, 2), abrt, assertion("topX>=0", file));
    EXPECT_EXIT(imCrop(A, 0, -1, 2, 2), abrt, assertion("topY>=0", file));
    EXPECT_EXIT(imCrop(A, 0, 0, 2, 5), abrt, assertion("cropHeight<=height", file));
    EXPECT_EXIT(imCrop(A, 0, 0, 5, 2), abrt, assertion("cropWidth<=width", file));
    EXPECT_EXIT(imCrop(A, 3, 0, 5, 2), abrt, assertion("topX+cropWidth<=width", file));
    EXPECT_EXIT(imCrop(A, 0, 3, 2, 5), abrt, assertion("topY+cropHeight<=height", file));
    EXPECT_EXIT(imCropInto(nullptr, B, 0, 0, 1, 1, 0, 0), abrt, assertion("into", file));
    EXPECT_EXIT(imCropInto(A, nullptr, 0, 0, 1, 1, 0, 0), abrt, assertion("from", file));
    EXPECT_EXIT(imCropInto(A, B, 0, 2, 1, 2, 0, 0), abrt, assertion("right-left>0", file));
    EXPECT_EXIT(imCropInto(A, B, 1, 0, 1, 1, 0, 0), abrt, assertion("bottom-top>0", file));
    EXPECT_EXIT(imCropInto(A, B, 0, -1, 1, 1, 0, 0), abrt, assertion("left>=0", file));
    EXPECT_EXIT(imCropInto(A, B, -1, 0, 1, 1, 0, 0), abrt, assertion("top>=0", file));
    EXPECT_EXIT(imCropInto(A, B, 0, 0, 5, 1, 0, 0), abrt, assertion("bottom<=imGetHeight(from)", file));
    EXPECT_EXIT(imCropInto(A, B, 0, 0, 1, 5, 0, 0), abrt, assertion("right<=imGetWidth(from)", file));
    EXPECT_EQ(imCropInto(A, B, 0, 0, 1, 4, 0, 0), A); // right equal to the width is accepted
    EXPECT_EXIT(imCropInto(A, B, 0, 0, 1, 1, -1, 0), abrt, assertion("toleft>=0", file));
    EXPECT_EXIT(imCropInto(A, B, 0, 0, 1, 1, 0, -1), abrt, assertion("totop>=0", file));
    EXPECT_EXIT(imCropInto(A, B, 0, 0, 1, 2, 3, 0), abrt, assertion("toleft+(right-left)<=imGetWidth(into)", file));
    EXPECT_EXIT(imCropInto(A, B, 0, 0, 2, 1, 0, 3), abrt, assertion("totop+(bottom-top)<=imGetHeight(into)", file));
    EXPECT_EXIT(imCropInto(A, B, 0, 0, 1, 1, INT32_MAX, 0), abrt,
                assertion("toleft+(right-left)<=imGetWidth(into)", file));
    EXPECT_EXIT(imCropInto(bin.any(), A, 0, 0, 1, 1, 0, 0), abrt,
                assertion("into->header->tag==from->header->tag", file));
    EXPECT_EXIT(imScale(A, 0, 2), abrt, assertion("newWidth", file));
    EXPECT_EXIT(imScale(A, 2, 0), abrt, assertion("newHeight", file));
    EXPECT_EXIT(imDupInto(bin.any(), A), abrt, assertion("into->header->tag==in->header->tag", file));
    EXPECT_EXIT(imDupInto(small.any(), A), abrt, assertion("imGetWidth(in)==imGetWidth(into)", file));
    Image tall(IMAGE_GRAY, 4, 5);
    EXPECT_EXIT(imDupInto(tall.any(), A), abrt, assertion("imGetHeight(in)==imGetHeight(into)", file));
    // A structure image cannot be made by these operations.
    AnyImageStruct *st = new_struct_image(2, 2, 4);
    EXPECT_EXIT(imBorders(st, 1), abrt, assertion("type != IMAGE_STRUCT", "image.cpp"));
    EXPECT_EXIT(imScale(st, 3, 3), abrt, assertion("type != IMAGE_STRUCT", "image.cpp"));
    EXPECT_EQ(imCrop(st, 0, 0, 1, 1), nullptr);
    im_Free_(st, IMAGE_STRUCT);
}
