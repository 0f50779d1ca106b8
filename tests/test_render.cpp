#include <tessera/magic.h>
#include <tessera/ptl.h>

#include <cstring>
#include <string>

#include "ptl/ptl_internal.h"
#include "support/images.h"
#include "support/test_support.h"

using namespace tessera::test;
using tessera::detail::count_image;
using tessera::detail::drop_count_image;

namespace {

const RGB black{0, 0, 0}, red{255, 0, 0}, blue{0, 0, 255};

struct Drawing {
    PointList p;
    Drawing(bool color, float x, float y, float w, float h, const char *comment = nullptr)
        : p(ptlNew(color, x, y, w, h, comment ? strMake(comment) : nullptr)) {}
    ~Drawing() { ptlFree(p); }
    void add(unsigned char type, RGB c, float size, float x1, float y1, float x2 = 0, float y2 = 0) {
        ptlAddElem(p, ptlNewElem(type, c, size, x1, y1, x2, y2));
    }
};

// Renders a file as a client does: the magic first, then the rest.
void *render_file(const std::string &text, unsigned short type, float scale, bool *clipped) {
    FILE *f = stream_of(text);
    magicStart();
    adtStringHeader *magic = nullptr;
    magicGetString(f, &magic);
    void *im = ptlLoadAndRender(f, strGet(magic)[0] == 'C', type, scale, scale, RGB{9, 9, 9}, clipped);
    strFree(magic);
    std::fclose(f);
    return im;
}

bool same(RGB a, RGB b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

} // namespace

TEST(Render, GeometryFromTheBounds) {
    Drawing a(false, 0, 0, 10, 5), b(false, -2.5f, 1.25f, 10, 5), c(false, 0, 0, 0.1f, 1);
    Image ia(ptlRender(a.p, IMAGE_BINARY, 1, 1, black, nullptr));
    EXPECT_EQ(ia.h()->width, 10);
    EXPECT_EQ(ia.h()->height, 5);
    EXPECT_EQ(ia.h()->xoffset, 0);
    Image ib(ptlRender(b.p, IMAGE_BINARY, 2, 2, black, nullptr));
    EXPECT_EQ(ib.h()->xoffset, -5);
    EXPECT_EQ(ib.h()->yoffset, 3);
    EXPECT_EQ(ib.h()->width, 20);
    EXPECT_EQ(ib.h()->height, 10);
    Image ic(ptlRender(c.p, IMAGE_BINARY, 30, 30, black, nullptr));
    EXPECT_EQ(ic.h()->width, 4); // the float 0.1 is a little above 0.1
}

TEST(Render, BadScalesAndTypesGiveNullAndKeepTheCountImage) {
    Drawing l(true, 0, 0, 4, 4);
    Image first(ptlRender(l.p, IMAGE_RGB, 1, 1, black, nullptr));
    GrayImageStruct *count = count_image();
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(ptlRender(l.p, IMAGE_RGB, 0, 1, black, nullptr), nullptr);
    EXPECT_EQ(ptlRender(l.p, IMAGE_RGB, 1, -1, black, nullptr), nullptr);
    EXPECT_EQ(ptlRender(l.p, IMAGE_GRAY, 1, 1, black, nullptr), nullptr);
    EXPECT_EQ(ptlRender(l.p, IMAGE_RGB, 1e30f, 1, black, nullptr), nullptr);
    EXPECT_EQ(count_image(), count);
    EXPECT_EQ(ptlStartRendering(IMAGE_RGB, 1, 1, 0, 0, 0, 4), -1);
    EXPECT_EQ(ptlStartRendering(IMAGE_GRAY, 1, 1, 0, 0, 4, 4), -1);
    EXPECT_EQ(ptlStartRendering(IMAGE_BINARY, 1, 1, 0, 0, 4, 4), 0);
    EXPECT_EQ(count_image(), count);
}

TEST(Render, CountImageIsReusedOrReplacedByGeometry) {
    ASSERT_EQ(ptlStartRendering(IMAGE_RGB, 1, 1, 3, 4, 5, 6), 0);
    GrayImageStruct *count = count_image();
    count->data[4][3] = 7;
    ASSERT_EQ(ptlStartRendering(IMAGE_RGB, 2, 2, 3, 4, 5, 6), 0);
    EXPECT_EQ(count_image(), count);
    EXPECT_EQ(count->data[4][3], 0); // cleared at every start
    ASSERT_EQ(ptlStartRendering(IMAGE_RGB, 1, 1, 0, 4, 5, 6), 0);
    EXPECT_EQ(count_image()->header->xoffset, 0);
}

TEST(Render, PenScalesWithTheMeanOfTheScales) {
    Drawing l(false, 0, 0, 20, 20);
    l.add(PTL_POINT, black, 1, 5, 5); // pen (2 + 4) * 1 / 2 = 3 pixels: a 3 x 3 square
    Image im(ptlRender(l.p, IMAGE_BINARY, 2, 4, black, nullptr));
    int set = 0;
    for (int y = 0; y < im.h()->height; ++y)
        for (int x = 0; x < im.h()->width; ++x) set += im.at<int8_t>(x, y);
    EXPECT_EQ(set, 9);
    EXPECT_EQ(im.at<int8_t>(10, 20), 1);
    Image one(ptlRender(l.p, IMAGE_BINARY, 1, 1, black, nullptr));
    EXPECT_EQ(one.at<int8_t>(5, 5), 1);
    EXPECT_EQ(one.at<int8_t>(6, 5), 0);
}

TEST(Render, EllipseSemiAxesScalePerAxis) {
    Drawing l(false, 0, 0, 10, 10);
    l.add(PTL_ELLIPSE, black, 0, 4, 4, 1, 1);
    Image im(ptlRender(l.p, IMAGE_BINARY, 2, 1, black, nullptr));
    EXPECT_EQ(im.at<int8_t>(10, 4), 1); // centre (8, 4), semi-axes 2 and 1
    EXPECT_EQ(im.at<int8_t>(7, 5), 1);
    EXPECT_EQ(im.at<int8_t>(11, 4), 0);
    EXPECT_EQ(im.at<int8_t>(8, 4), 0);
}

TEST(Render, ColourMixingFillsAndBackground) {
    Drawing l(true, 0, 0, 8, 8);
    l.add(PTL_POINT, blue, 0, 2, 2);
    l.add(PTL_POINT, red, 0, 2, 2);
    l.add(PTL_FILL, red, 0, 6, 6);
    bool clipped = true;
    Image im(ptlRender(l.p, IMAGE_RGB, 1, 1, RGB{0, 255, 0}, &clipped));
    EXPECT_FALSE(clipped);
    EXPECT_TRUE(same(im.at<RGB>(2, 2), RGB{255, 0, 255})); // the green background takes no part
    EXPECT_TRUE(same(im.at<RGB>(6, 6), RGB{0, 255, 0}));   // colour renderings ignore fills
    Image bin(ptlRender(l.p, IMAGE_BINARY, 1, 1, black, nullptr));
    EXPECT_EQ(bin.at<int8_t>(0, 0), 1); // binary renderings fill
}

TEST(Render, ClippingAndInvalidElements) {
    Drawing l(false, 0, 0, 4, 4);
    l.add(PTL_LINE, black, 0, -2, 1, 2, 1);
    bool clipped = false;
    Image im(ptlRender(l.p, IMAGE_BINARY, 1, 1, black, &clipped));
    EXPECT_TRUE(clipped);
    EXPECT_EQ(im.at<int8_t>(1, 1), 1);
    Drawing bad(false, 0, 0, 4, 4);
    bad.add(PTL_POINT, black, 0, 1, 1);
    static_cast<PointListElem>(liGet(liFirst(bad.p->elements)))->type = 9;
    Image im2(ptlRender(bad.p, IMAGE_BINARY, 1, 1, black, &clipped));
    EXPECT_TRUE(clipped);
    EXPECT_EQ(im2.at<int8_t>(1, 1), 0);
}

TEST(Render, CommentIsCopied) {
    Image none([] {
        Drawing l(false, 0, 0, 2, 2);
        return ptlRender(l.p, IMAGE_BINARY, 1, 1, black, nullptr);
    }());
    EXPECT_EQ(none.h()->comment, nullptr);
    Image kept([] {
        Drawing l(false, 0, 0, 2, 2, "drawn by hand");
        return ptlRender(l.p, IMAGE_BINARY, 1, 1, black, nullptr);
    }());
    EXPECT_STREQ(strGet(kept.h()->comment), "drawn by hand"); // the list is already freed
}

TEST(Render, RGBRenderingNeedsAPreparedCountImage) {
    Image rgb(IMAGE_RGB, 5, 5);
    PointListElemStruct e{};
    e.type = PTL_POINT;
    ASSERT_EQ(ptlStartRendering(IMAGE_RGB, 1, 1, 1, 1, 5, 5), 0);
    EXPECT_EQ(ptl_RenderElem_(&e, rgb.im, rgb.h(), 1, 1), -1); // another geometry: nothing drawn
    ASSERT_EQ(ptlStartRendering(IMAGE_RGB, 1, 1, 0, 0, 5, 5), 0);
    EXPECT_EQ(ptl_RenderElem_(&e, rgb.im, rgb.h(), 1, 1), 0);
    Image gray(IMAGE_GRAY, 5, 5);
    EXPECT_EQ(ptl_RenderElem_(&e, gray.im, gray.h(), 1, 1), -1);
}

TEST(Render, FromAFileElementByElement) {
    bool clipped = true;
    Image plain(render_file("# before\nPTL 0 0 6 6\np 1 1 0xff0000\nl 0 3 5 3\n", IMAGE_RGB, 1, &clipped));
    ASSERT_NE(plain.im, nullptr);
    EXPECT_FALSE(clipped);
    EXPECT_TRUE(same(plain.at<RGB>(1, 1), RGB{255, 255, 255})); // plain lists draw white
    EXPECT_TRUE(same(plain.at<RGB>(4, 3), RGB{255, 255, 255}));
    EXPECT_TRUE(same(plain.at<RGB>(0, 0), RGB{9, 9, 9}));
    EXPECT_STREQ(strGet(plain.h()->comment), " before\n");
    Image colour(render_file("CPTL 0 0 6 6\np 1 1 0x0000ff\n", IMAGE_RGB, 1, &clipped));
    EXPECT_TRUE(same(colour.at<RGB>(1, 1), RGB{0, 0, 255}));
    EXPECT_EQ(render_file("PTL 0 0 6 6\np 1 1\nz 1 1\n", IMAGE_BINARY, 1, &clipped), nullptr);
    EXPECT_EQ(render_file("PTL 0 0 6\n", IMAGE_BINARY, 1, &clipped), nullptr);
    EXPECT_EQ(render_file("PTL 0 0 6 6\n", IMAGE_GRAY, 1, &clipped), nullptr);
}

TEST(RenderAllocFailure, RenderingCleansUpAtEveryAllocation) {
    Drawing l(true, 0, 0, 6, 6, "comment");
    l.add(PTL_POINT, red, 2, 3, 3);
    l.add(PTL_FILL, red, 0, 1, 1);
    l.add(PTL_LINE, blue, 1, 0, 0, 5, 5);
    im_Free_(render_file("PTL 0 0 1 1\n", IMAGE_BINARY, 1, nullptr), IMAGE_BINARY); // the reader's buffers exist
    // the colour mixes' table exists too (without it, mixes are computed: no failure to report)
    im_Free_(render_file("CPTL 0 0 1 1\n2p 0 0 0xff0000\n", IMAGE_RGB, 1, nullptr), IMAGE_RGB);
    drop_count_image(); // a fresh count image in every run, so that its creation is injected too
    for (unsigned short type : {IMAGE_RGB, IMAGE_BINARY}) {
        each_allocation_failure([&](FailPoint &fp) {
            fp.arm();
            bool clipped = false;
            void *im = ptlRender(l.p, type, 1, 1, black, &clipped);
            // A fill that runs out of memory is reported as clipping, not as a failed rendering.
            if (fp.fired() && im) {
                EXPECT_TRUE(type == IMAGE_BINARY && clipped);
            }
            if (im) im_Free_(im, type);
            drop_count_image();
        });
        each_allocation_failure([&](FailPoint &fp) {
            FILE *f = stream_of("CPTL 0 0 6 6\n# c\np 1 1 255\nf 2 2 1\nl 0 0 5 5 3\n");
            magicStart();
            adtStringHeader *magic = nullptr;
            magicGetString(f, &magic);
            fp.arm();
            void *im = ptlLoadAndRender(f, true, type, 1, 1, black, nullptr);
            // Comment characters that cannot be stored are dropped and fills report clipping,
            // so a failure need not fail the rendering; it must leave nothing behind.
            fp.fired();
            if (im) im_Free_(im, type);
            drop_count_image();
            strFree(magic);
            std::fclose(f);
        });
    }
}

// Wide dots keep their columns in lists that grow where floats are sparse, and a walk of dots
// with one effect keeps it in lists too. Without memory for them the same dots are drawn row by
// row: the image is the same (or the rendering fails for the count image alone).
TEST(RenderAllocFailure, WideDotsWithoutTheirListsDrawTheSameImage) {
    const char *drawings[] = {
        "PTL 33554432 0 200 40\n300l 33554500 -40 33554560 90\n", // columns 4 apart: 75 a side
        "CPTL 33554432 0 200 40\n300l 33554500 -40 33554560 90 0x336699\n",
        "PTL 0 0 20 20\n400l -300 10 320 11\n", // each dot covers the image
        "CPTL 0 0 20 20\n400p 10 10 0xff0000\n400l -300 10 320 11 0x00ff00\n",
    };
    for (const char *text : drawings) {
        const unsigned short type = text[0] == 'C' ? IMAGE_RGB : IMAGE_BINARY;
        void *want = render_file(text, type, 1, nullptr);
        ASSERT_NE(want, nullptr) << text;
        const ImageHeader *h = hdr(want);
        const auto differs = [&](void *im) {
            for (int y = h->yoffset; y < h->yoffset + h->height; ++y)
                for (int x = h->xoffset; x < h->xoffset + h->width; ++x) {
                    const bool same = type == IMAGE_BINARY
                                          ? px<int8_t>(im, x, y) == px<int8_t>(want, x, y)
                                          : std::memcmp(&px<RGB>(im, x, y), &px<RGB>(want, x, y), 3) == 0;
                    if (!same) return true;
                }
            return false;
        };
        int same = 0;
        each_allocation_failure([&](FailPoint &fp) {
            fp.arm();
            void *im = render_file(text, type, 1, nullptr);
            fp.fired();
            if (!im) return;
            EXPECT_FALSE(differs(im)) << text;
            ++same;
            im_Free_(im, type);
        });
        EXPECT_GT(same, 0) << text;
        im_Free_(want, type);
    }
}
