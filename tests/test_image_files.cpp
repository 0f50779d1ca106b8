#include <tessera/image.h>
#include <tessera/magic.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/images.h"
#include "support/test_support.h"

using namespace tessera::test;

namespace {

std::string saved(void *im) {
    TempFile f;
    EXPECT_EQ(im_Save_(im, hdr(im), f.path()), 0);
    return f.read();
}

void *loaded(uint16_t mask, const std::string &bytes) {
    TempFile f(bytes);
    return im_Load(mask, f.path());
}

std::string comment_of(void *im) { return strGet(hdr(im)->comment); }

const uint16_t file_tags[] = {IMAGE_GRAY,   IMAGE_FLOAT, IMAGE_RGB,     IMAGE_DOUBLE,  IMAGE_BINARY,
                              IMAGE_INT,    IMAGE_SHORT, IMAGE_FLOAT3A, IMAGE_FLOAT3B, IMAGE_RGBA,
                              IMAGE_GRAY16, IMAGE_RGB16, IMAGE_RGBA16};
constexpr uint16_t all_tags = 0xffff;

// Fills an image with bytes that differ from pixel to pixel (0 and 1 for binary images).
void stamp(void *im) {
    const ImageHeader *h = hdr(im);
    const std::size_t size = tessera::detail::fixed_elem_size(h->tag);
    unsigned char *p = tessera::detail::first_pixel(im, h, size);
    const std::size_t n = tessera::detail::pixel_count(h) * size;
    for (std::size_t i = 0; i < n; ++i)
        p[i] = h->tag == IMAGE_BINARY ? static_cast<unsigned char>((i * 7 + i / 3) % 3 == 0)
                                      : static_cast<unsigned char>(i * 13 + 5);
}

bool same_pixels(void *a, void *b) {
    const ImageHeader *ha = hdr(a), *hb = hdr(b);
    if (ha->tag != hb->tag || ha->width != hb->width || ha->height != hb->height) return false;
    const std::size_t size = tessera::detail::fixed_elem_size(ha->tag);
    for (int y = 0; y < ha->height; ++y)
        if (std::memcmp(tessera::detail::pixel_at(a, ha->xoffset, ha->yoffset + y, size),
                        tessera::detail::pixel_at(b, hb->xoffset, hb->yoffset + y, size), ha->width * size) != 0)
            return false;
    return true;
}

} // namespace

TEST(ImageFiles, SavedGrayImageBytes) {
    Image im(IMAGE_GRAY, 3, 2);
    for (int i = 0; i < 6; ++i) im.at<uint8_t>(i % 3, i / 3) = static_cast<uint8_t>('a' + i);
    EXPECT_EQ(saved(im.im), std::string("P5\n\n#\n\n3 2 255\nabcdef"));
}

TEST(ImageFiles, BinaryRowsArePackedMostSignificantBitFirst) {
    Image im(IMAGE_BINARY, 10, 2, 4, -1);
    im.at<int8_t>(4, -1) = 1;
    im.at<int8_t>(13, -1) = -7; // any non-zero value is set
    im.at<int8_t>(5, 0) = 1;
    const std::string file = saved(im.im);
    EXPECT_EQ(file, std::string("P4\n\n#\n\n10 2\n\x80\x40\x40\x00", 16));
    Image back(loaded(IMAGE_BINARY, file));
    ASSERT_NE(back.im, nullptr);
    EXPECT_EQ(back.h()->xoffset, 0);
    EXPECT_EQ(back.at<int8_t>(0, 0), 1);
    EXPECT_EQ(back.at<int8_t>(9, 0), 1);
    EXPECT_EQ(back.at<int8_t>(1, 1), 1);
    EXPECT_EQ(back.at<int8_t>(2, 1), 0);
    EXPECT_EQ(comment_of(back.im), "\n");
    // each save of a loaded image adds one line "# "
    EXPECT_EQ(saved(back.im).substr(0, 10), "P4\n\n#\n# \n\n");
}

TEST(ImageFiles, CommentLinesAreMarked) {
    Image im(IMAGE_GRAY, 1, 1);
    const std::pair<const char *, const char *> cases[] = {
        {"a\nb", "#a\n# b\n\n"}, {"a\n#b", "#a\n#b\n\n"}, {"a\n b", "#a\n# b\n\n"}, {"x\r\ny", "#x\r# \n# y\n\n"}};
    for (auto [text, block] : cases) {
        strFree(im.h()->comment);
        im.h()->comment = strMake(text);
        EXPECT_EQ(saved(im.im).substr(4, std::strlen(block)), block) << text;
    }
}

TEST(ImageFiles, QFormatsAreLittleEndianMachineValues) {
    Image f(IMAGE_FLOAT, 2, 1);
    f.at<float>(0, 0) = 1.0f;
    const std::string file = saved(f.im);
    EXPECT_EQ(file.substr(0, 10), "Q1\n\n#\n\n2 1");
    EXPECT_EQ(file.substr(file.size() - 8, 4), std::string("\x00\x00\x80\x3f", 4));
}

TEST(ImageFiles, EveryFormatRoundTripsByNameDescriptorAndStream) {
    for (uint16_t tag : file_tags) {
        for (int width : {1, 7, 8, 9, 12, 15, 33}) {
            Image im(tag, width, 3, -2, 5);
            stamp(im.im);
            im.h()->comment = strMake("line one\nline two");
            TempFile f;
            ASSERT_EQ(im_Save_(im.im, im.h(), f.path()), 0);
            Image by_name(im_Load(all_tags, f.path()));
            ASSERT_NE(by_name.im, nullptr) << tag << " " << width;
            EXPECT_TRUE(same_pixels(by_name.im, im.im)) << tag << " " << width;
            EXPECT_EQ(comment_of(by_name.im), "line one\n line two\n");

            const int fd = open(f.path(), O_RDONLY);
            Image by_fd(im_LoadH(tag, fd));
            EXPECT_TRUE(by_fd.im && same_pixels(by_fd.im, im.im));
            EXPECT_NE(fcntl(fd, F_GETFD), -1); // the descriptor stays open
            close(fd);

            Image into(tag, width, 3, 5, 5);
            EXPECT_EQ(im_LoadInto_(into.im, into.h(), f.path()), into.im);
            EXPECT_TRUE(same_pixels(into.im, im.im));
            EXPECT_EQ(into.h()->xoffset, 5);
        }
    }
}

TEST(ImageFiles, SaveToDescriptorFlushesAndKeepsItOpen) {
    Image im(IMAGE_RGB, 4, 4);
    stamp(im.im);
    TempFile f;
    const int fd = open(f.path(), O_WRONLY | O_TRUNC);
    EXPECT_EQ(im_SaveH_(im.im, im.h(), fd), 0);
    EXPECT_EQ(write(fd, "tail", 4), 4); // still usable, positioned after the image
    close(fd);
    const std::string bytes = f.read();
    EXPECT_EQ(bytes.substr(bytes.size() - 4), "tail");
    const int in = open(f.path(), O_RDONLY);
    Image back(im_LoadH(IMAGE_RGB, in));
    close(in);
    EXPECT_TRUE(back.im && same_pixels(back.im, im.im));
}

TEST(ImageFiles, MaskSelectsTags) {
    Image f(IMAGE_FLOAT, 2, 2), c(IMAGE_RGB, 2, 2);
    EXPECT_EQ(loaded(IMAGE_GRAY | IMAGE_RGB, saved(f.im)), nullptr);
    Image rgb(loaded(IMAGE_GRAY | IMAGE_RGB, saved(c.im)));
    ASSERT_NE(rgb.im, nullptr);
    EXPECT_EQ(rgb.h()->tag, IMAGE_RGB);
}

TEST(ImageFiles, LoaderAcceptsCommentsAndSpaceEverywhere) {
    const std::string header = "# before\n \tP5# after magic\n 3#w\n\r\n2 # h\n255#end\n";
    Image im(loaded(IMAGE_GRAY, header + "xyzuvw"));
    ASSERT_NE(im.im, nullptr);
    EXPECT_EQ(im.at<uint8_t>(0, 0), 'x');
    EXPECT_EQ(im.at<uint8_t>(2, 1), 'w');
    EXPECT_EQ(comment_of(im.im), " before\n after magic\nw\n h\nend\n");
    Image trailing(loaded(IMAGE_GRAY, "P5 1 1 7 Zmore bytes"));
    ASSERT_NE(trailing.im, nullptr);
    EXPECT_EQ(trailing.at<uint8_t>(0, 0), 'Z');
}

TEST(ImageFiles, LoadIntoChecksSizeAndTag) {
    Image src(IMAGE_GRAY, 4, 3);
    stamp(src.im);
    const std::string file = saved(src.im);
    TempFile f(file);
    Image other(IMAGE_GRAY, 3, 4), wrong(IMAGE_RGB, 4, 3);
    other.h()->comment = strMake("mine");
    EXPECT_EQ(im_LoadInto_(other.im, other.h(), f.path()), nullptr);
    EXPECT_EQ(comment_of(other.im), "mine");
    EXPECT_EQ(im_LoadInto_(wrong.im, wrong.h(), f.path()), nullptr);
    // Short pixel data: the image keeps what arrived and the new comment.
    Image part(IMAGE_GRAY, 4, 3);
    part.h()->comment = strMake("old");
    int fill = 0xee;
    im_Init_(part.im, part.h(), &fill);
    TempFile shortfile(file.substr(0, file.size() - 5));
    EXPECT_EQ(im_LoadInto_(part.im, part.h(), shortfile.path()), nullptr);
    EXPECT_EQ(part.at<uint8_t>(0, 0), src.at<uint8_t>(0, 0));
    EXPECT_EQ(part.at<uint8_t>(3, 2), 0xee);
    EXPECT_EQ(comment_of(part.im), "\n");
}

TEST(ImageFiles, HostileFilesGiveNullAndLeakNothing) {
    std::vector<std::string> bad = {"",
                                    "P5",
                                    "P5\n",
                                    "P5 3",
                                    "P5 3 2",
                                    "P5 3 2 255",
                                    "P5 3 2 255\n",
                                    "P5 3 2 255\nabcde",
                                    "P5 0 2 255\nab",
                                    "P5 3 0 255\n",
                                    "P5 -3 2 255\nabcdef",
                                    "P5 3 -2 255\nabcdef",
                                    "P5 99999999999 2 255\nab",
                                    "P5 2147483647 2147483647 255\nab",
                                    "P6 1000000 1000000 255\nab",
                                    "Q2 2147483647 2147483647\nab",
                                    "P4 2147483647 2147483647\nab",
                                    "P5 3 2 0\nabcdef",
                                    "P5 3 2 256\nabcdef",
                                    "P5 3 2 65535\nabcdefabcdef",
                                    "P5 3 2 -255\nabcdef",
                                    "P5 3 2 255",
                                    "P5 3 2 255#unterminated comment",
                                    "P5 3 2 25",
                                    "P5 3 2 2555555555555555555\n",
                                    "#only a comment",
                                    "# comment\n",
                                    "P4444444444444444444444444444 1 1\nA",
                                    "p5 1 1 255\nA",
                                    "q1 1 1\nAAAA",
                                    "Q5 1 1\nA",
                                    "Q12 1 1\nA",
                                    "P7 1 1\nA",
                                    "P4 9 1\n\x80",
                                    "P6 1 1 255\nab",
                                    "Q10 1 1\n01234567890",
                                    "Q4 2 2\n0123456",
                                    std::string("\x00\x01\xff\xfe garbage \x80", 13)};
    for (int i = 0; i < 256; ++i) bad.push_back(std::string(1, static_cast<char>(i)) + "5 1 1 255\n");
    magicStart(); // the tokenizer's own comment buffer exists from here on
    const long live = tessera::detail::seam::live();
    for (const std::string &file : bad) {
        EXPECT_EQ(loaded(all_tags, file), nullptr) << file;
        FILE *f = stream_of(file);
        const int fd = fileno(f);
        EXPECT_EQ(im_LoadH(all_tags, fd), nullptr) << file;
        std::fclose(f);
    }
    EXPECT_EQ(tessera::detail::seam::live(), live);
}

TEST(ImageFiles, TruncatedAtEveryLength) {
    for (uint16_t tag : file_tags) {
        Image im(tag, 9, 4);
        stamp(im.im);
        const std::string file = saved(im.im);
        for (std::size_t n = 0; n < file.size(); ++n)
            ASSERT_EQ(loaded(all_tags, file.substr(0, n)), nullptr) << tag << " cut at " << n;
        Image whole(loaded(all_tags, file));
        EXPECT_TRUE(whole.im && same_pixels(whole.im, im.im));
    }
}

TEST(ImageFiles, OpenFailures) {
    Image im(IMAGE_GRAY, 2, 2);
    EXPECT_EQ(im_Save_(im.im, im.h(), "/nonexistent-dir/x.pgm"), -1);
    EXPECT_EQ(im_Load(IMAGE_GRAY, "/nonexistent-dir/x.pgm"), nullptr);
    EXPECT_EQ(im_LoadInto_(im.im, im.h(), "/nonexistent-dir/x.pgm"), nullptr);
}

TEST(ImageFilesAllocFailure, LoadsLeaveNothingAndKeepExistingImages) {
    Image src(IMAGE_BINARY, 13, 5);
    stamp(src.im);
    src.h()->comment = strMake("a comment long enough to need more than one allocation of the buffer");
    TempFile f(saved(src.im));
    magicStart();
    each_allocation_failure([&](FailPoint &fp) {
        fp.arm();
        void *im = im_Load(IMAGE_BINARY, f.path());
        if (fp.fired()) {
            EXPECT_EQ(im, nullptr);
        } else {
            EXPECT_TRUE(same_pixels(im, src.im));
        }
        if (im) im_Free_(im, IMAGE_BINARY);
    });
    Image into(IMAGE_BINARY, 13, 5);
    into.h()->comment = strMake("before");
    each_allocation_failure([&](FailPoint &fp) {
        fp.arm();
        void *r = im_LoadInto_(into.im, into.h(), f.path());
        if (fp.fired()) {
            EXPECT_EQ(r, nullptr);
            EXPECT_EQ(comment_of(into.im), "before");
            EXPECT_EQ(into.at<int8_t>(0, 0), 0);
        }
        if (r) {
            EXPECT_TRUE(same_pixels(into.im, src.im));
            strFree(into.h()->comment);
            into.h()->comment = strMake("before");
            int zero = 0;
            im_Init_(into.im, into.h(), &zero);
        }
    });
}

TEST(ImageFilesDeathTest, ChecksAndPanics) {
    const auto abrt = testing::KilledBySignal(SIGABRT);
    const auto status1 = testing::ExitedWithCode(1);
    const char *file = "image_files.cpp";
    const std::string rcs = "$Id: image_files.cpp 1.0 $";
    Image gray(IMAGE_GRAY, 2, 2), ptr(IMAGE_POINTER, 2, 2);
    TempFile out;
    EXPECT_EXIT(im_SaveH_(nullptr, gray.h(), 1), abrt, assertion("im != (void *)NULL", file));
    EXPECT_EXIT(im_SaveH_(gray.im, nullptr, 1), abrt, assertion("header != (ImageHeader *)NULL", file));
    EXPECT_EXIT(im_Save_(nullptr, gray.h(), out.path()), abrt, assertion("im != (void *)NULL", file));
    EXPECT_EXIT(im_Save_(gray.im, nullptr, out.path()), abrt, assertion("header != (ImageHeader *)NULL", file));
    EXPECT_EXIT(im_Save_(ptr.im, ptr.h(), out.path()), status1,
                panic_report("attempt to save pointer image", file, rcs));
    AnyImageStruct *st = new_struct_image(2, 2, 4);
    EXPECT_EXIT(im_Save_(st, st->header, out.path()), status1,
                panic_report("saving structure images not yet supported", file, rcs));
    ImageHeader bad = *gray.h();
    bad.tag = 3;
    EXPECT_EXIT(im_Save_(gray.im, &bad, out.path()), status1, panic_report("bad image tag", file, rcs));
    im_Free_(st, IMAGE_STRUCT);
}
