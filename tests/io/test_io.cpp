// libtessera_io and its C++ face: every format's round trip, 16-bit samples, every source
// (path, stream, pipe, descriptor, memory), limits and damaged files, and outputs that never
// harm what is there (links, modes, a full disk, a planted symlink).
#include <tessera/io.hpp>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

std::string scratch() {
    static const std::string d = [] {
        char tmpl[] = "/tmp/tessera-io-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return d;
}

std::string slurp(const std::string &path) {
    std::string bytes;
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
        std::fclose(f);
    }
    return bytes;
}

void spit(const std::string &path, const std::string &bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// A picture of w x h of the given kind whose every pixel differs from its neighbours.
tessera::any_image picture(uint16_t tag, int32_t w = 37, int32_t h = 23) {
    tessera::any_image im(tag, w, h, 0, 0);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            void *row = im.get()->data[y];
            const unsigned v = static_cast<unsigned>(x * 7 + y * 13);
            switch (tag) {
            case IMAGE_BINARY: static_cast<int8_t *>(row)[x] = static_cast<int8_t>((x ^ y) & 1); break;
            case IMAGE_GRAY: static_cast<uint8_t *>(row)[x] = static_cast<uint8_t>(v); break;
            case IMAGE_RGB:
                static_cast<RGB *>(row)[x] =
                    RGB{static_cast<uint8_t>(v), static_cast<uint8_t>(x * 5), static_cast<uint8_t>(255 - y)};
                break;
            case IMAGE_INT: static_cast<int32_t *>(row)[x] = static_cast<int32_t>((v * 977) % 65536); break;
            case IMAGE_FLOAT3B: {
                float *p = static_cast<float *>(row) + 3 * x;
                p[0] = static_cast<float>((v * 977) % 65536), p[1] = static_cast<float>(x * 1000), p[2] = 65535;
                break;
            }
            case IMAGE_RGBA:
                static_cast<RGBA *>(row)[x] = RGBA{static_cast<uint8_t>(v), static_cast<uint8_t>(x * 5),
                                                   static_cast<uint8_t>(255 - y), static_cast<uint8_t>(x * y)};
                break;
            case IMAGE_GRAY16: static_cast<uint16_t *>(row)[x] = static_cast<uint16_t>(v * 977); break;
            case IMAGE_RGB16:
                static_cast<RGB16 *>(row)[x] = RGB16{static_cast<uint16_t>(v * 977), static_cast<uint16_t>(x * 1000),
                                                     static_cast<uint16_t>(65535 - y)};
                break;
            case IMAGE_RGBA16:
                static_cast<RGBA16 *>(row)[x] =
                    RGBA16{static_cast<uint16_t>(v * 977), static_cast<uint16_t>(x * 1000),
                           static_cast<uint16_t>(65535 - y), static_cast<uint16_t>(x * y * 111)};
                break;
            default: break;
            }
        }
    return im;
}

std::size_t element(uint16_t tag) { return tessera::element_size(tag); }

::testing::AssertionResult same(const tessera::any_image &a, const tessera::any_image &b) {
    const ImageHeader *x = a.get()->header, *y = b.get()->header;
    if (x->tag != y->tag || x->width != y->width || x->height != y->height)
        return ::testing::AssertionFailure() << "tag/size " << x->tag << " " << x->width << "x" << x->height << " vs "
                                             << y->tag << " " << y->width << "x" << y->height;
    for (int32_t r = 0; r < x->height; ++r)
        if (std::memcmp(a.get()->data[r], b.get()->data[r], static_cast<std::size_t>(x->width) * element(x->tag)))
            return ::testing::AssertionFailure() << "row " << r << " differs";
    return ::testing::AssertionSuccess();
}

int temporaries_in(const std::string &dir) {
    int n = 0;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d))
        if (std::strstr(e->d_name, ".tessera-")) ++n;
    closedir(d);
    return n;
}

// ---- the table and round trips -------------------------------------------------------------

TEST(IoTable, NamesExtensionsAndTargetsComeFromOneTable) {
    EXPECT_EQ(tessera::io::format("JPG"), tessera::io::format("jpeg"));
    EXPECT_EQ(tessera_io_format_of_path("/a.b/photo.TIFF"), tessera::io::format("tiff"));
    EXPECT_EQ(tessera_io_format_of_path("/a.png/noext"), nullptr);
    EXPECT_THROW(tessera::io::format("heic"), std::invalid_argument);
    const std::string names = tessera_io_format_names();
    for (const tessera_io_format *f : tessera::io::formats()) EXPECT_NE(names.find(f->name), std::string::npos);
    EXPECT_EQ(tessera_io_target_tag(tessera::io::format("jpeg"), IMAGE_FLOAT, 1), IMAGE_GRAY);
    EXPECT_EQ(tessera_io_target_tag(tessera::io::format("png"), IMAGE_FLOAT3A, 1), IMAGE_RGB);
    EXPECT_EQ(tessera_io_target_tag(tessera::io::format("q3"), IMAGE_GRAY, 0), 0);
    EXPECT_EQ(tessera_io_target_tag(tessera::io::format("pnm"), IMAGE_BINARY, 0), IMAGE_BINARY);
}

TEST(IoRoundTrip, EveryLosslessFormatGivesBackEveryTypeItWrites) {
    for (const tessera_io_format *f : tessera::io::formats()) {
        // lossy, or (BMP, GIF) gray held as colour: their own tests below and in Python
        if (std::strcmp(f->name, "jpeg") == 0 || std::strcmp(f->name, "webp") == 0 ||
            std::strcmp(f->name, "bmp") == 0 || std::strcmp(f->name, "gif") == 0)
            continue;
        for (uint16_t tag = 1; tag <= IMAGE_FLOAT3B; tag = static_cast<uint16_t>(tag << 1)) {
            if (!(f->writes & tag) || !(tag & (IMAGE_BINARY | IMAGE_GRAY | IMAGE_RGB))) continue;
            const tessera::any_image im = picture(tag);
            const std::vector<unsigned char> bytes = tessera::io::encode(im, f);
            tessera::io::file_info info{};
            const tessera::any_image back = tessera::io::load_memory(bytes, {}, &info);
            EXPECT_TRUE(same(im, back)) << f->name << " tag " << tag;
            EXPECT_EQ(info.format->writes & tag, tag) << f->name;
        }
    }
}

// PNG's levels take different paths (zlib as rows stream; rows filtered as libpng chooses and
// deflated whole, by zlib's runs or libdeflate's search, whichever a sample of the rows favours;
// palettes and bits unfiltered): every one gives back every picture, smooth or noisy, narrow or
// wide, to the last bit.
TEST(IoRoundTrip, PngIsExactAtEveryLevelForEveryKindOfPicture) {
    const tessera_io_format *png = tessera_io_format_named("png");
    std::mt19937 rng(5);
    int compared = 0;
    for (const uint16_t tag :
         {IMAGE_BINARY, IMAGE_GRAY, IMAGE_RGB, IMAGE_RGBA, IMAGE_GRAY16, IMAGE_RGB16, IMAGE_RGBA16})
        for (const auto &[w, h, noisy] : {std::tuple{37, 23, false}, {1, 5, false}, {301, 41, true}}) {
            tessera::any_image im = picture(tag, w, h);
            if (noisy) { // photograph-like: every byte a little off its neighbours
                auto *bytes = static_cast<unsigned char *>(im.get()->data[0]);
                const std::size_t size = tag == IMAGE_RGB      ? 3
                                         : tag == IMAGE_RGBA   ? 4
                                         : tag == IMAGE_GRAY16 ? 2
                                         : tag == IMAGE_RGB16  ? 6
                                         : tag == IMAGE_RGBA16 ? 8
                                                               : 1;
                const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * size;
                for (std::size_t i = 0; i < n; ++i)
                    bytes[i] = static_cast<unsigned char>(tag == IMAGE_BINARY ? rng() % 2 : bytes[i] + rng() % 9);
            }
            for (int level = 0; level <= 9; ++level) {
                tessera::io::save_options o;
                o.compression = level;
                const std::vector<unsigned char> bytes = tessera::io::encode(im, png, o);
                const tessera::any_image back = tessera::io::load_memory(bytes);
                EXPECT_TRUE(same(im, back)) << "tag " << tag << " " << w << "x" << h << " level " << level;
                ++compared;
            }
        }
    // a few colours make a palette, unfiltered
    tessera::any_image few(IMAGE_RGB, 50, 9, 0, 0);
    for (int32_t y = 0; y < 9; ++y)
        for (int32_t x = 0; x < 50; ++x)
            static_cast<RGB *>(few.get()->data[y])[x] =
                RGB{static_cast<uint8_t>(x % 3 * 100), 7, static_cast<uint8_t>(y % 2)};
    for (int level = 0; level <= 9; ++level) {
        tessera::io::save_options o;
        o.compression = level;
        EXPECT_TRUE(same(few, tessera::io::load_memory(tessera::io::encode(few, png, o)))) << "level " << level;
    }
    EXPECT_EQ(compared, 7 * 3 * 10);
}

TEST(IoRoundTrip, SixteenBitSamplesSurviveEveryDeepFormat) {
    for (const char *name : {"png", "pgm", "ppm", "pam", "tiff"}) {
        const tessera_io_format *f = tessera::io::format(name);
        const uint16_t tag = f->writes & IMAGE_GRAY ? IMAGE_INT : IMAGE_FLOAT3B;
        const tessera::any_image im = picture(tag);
        const auto bytes = tessera::io::encode(im, f, {.depth = 16});
        tessera::io::file_info info{};
        const tessera::any_image kept = tessera::io::load_memory(bytes, {.depth = tessera::io::depth::keep}, &info);
        EXPECT_TRUE(same(im, kept)) << name;
        EXPECT_EQ(info.bits, 16) << name;
        EXPECT_EQ(info.maxval, 65535u) << name;
        // Reduced, each sample is rounded to 8 bits: v / 257, halves up.
        const tessera::any_image reduced = tessera::io::load_memory(bytes, {.depth = tessera::io::depth::reduce});
        // The sample at (9, 5): an integer, or the first of three floats.
        const int64_t v = tag == IMAGE_INT ? static_cast<int32_t *>(im.get()->data[5])[9]
                                           : static_cast<int64_t>(static_cast<float *>(im.get()->data[5])[27]);
        const auto expect = static_cast<unsigned>((v * 255 + 32767) / 65535);
        const unsigned got = tag == IMAGE_INT ? static_cast<uint8_t *>(reduced.get()->data[5])[9]
                                              : static_cast<RGB *>(reduced.get()->data[5])[9].r;
        EXPECT_EQ(got, expect) << name;
    }
}

TEST(IoRoundTrip, NumericImagesNeedSixteenBitsOrAConversion) {
    const tessera::any_image im = picture(IMAGE_INT);
    EXPECT_THROW(tessera::io::encode(im, tessera::io::format("png")), tessera::file_error);
    EXPECT_THROW(tessera::io::encode(im, tessera::io::format("jpeg"), {.depth = 16}), tessera::file_error);
    const tessera::any_image gray = picture(IMAGE_GRAY);
    // Gray at 16 bits is scaled by 257: it looks the same.
    const auto bytes = tessera::io::encode(gray, tessera::io::format("png"), {.depth = 16});
    EXPECT_TRUE(same(gray, tessera::io::load_memory(bytes, {.depth = tessera::io::depth::reduce})));
}

TEST(IoRoundTrip, WebpLosslessIsExactAndLossyStaysClose) {
    const tessera_io_format *webp = tessera::io::format("webp");
    for (const uint16_t tag : {IMAGE_RGB, IMAGE_RGBA}) {
        const tessera::any_image im = picture(tag);
        tessera::io::file_info info{};
        const tessera::any_image back =
            tessera::io::load_memory(tessera::io::encode(im, webp, {.lossless = true}), {}, &info);
        EXPECT_TRUE(same(im, back)) << tag;
        EXPECT_STREQ(info.magic, "WebP");
        EXPECT_EQ(info.alpha, tag == IMAGE_RGBA);
    }
    // Gray goes in as colour and comes back so; alpha is laid over the background when reduced.
    const tessera::any_image gray = picture(IMAGE_GRAY);
    const tessera::any_image grey = tessera::io::load_memory(tessera::io::encode(gray, webp, {.lossless = true}));
    ASSERT_EQ(grey.tag(), IMAGE_RGB);
    EXPECT_EQ(static_cast<RGB *>(grey.get()->data[3])[5].g, static_cast<uint8_t *>(gray.get()->data[3])[5]);
    const auto rgba = tessera::io::encode(picture(IMAGE_RGBA), webp, {.lossless = true});
    EXPECT_EQ(tessera::io::load_memory(rgba, {.depth = tessera::io::depth::reduce}).tag(), IMAGE_RGB);
    // Lossy: smaller at a lower quality; every truncation refused.
    const auto good = tessera::io::encode(picture(IMAGE_RGB, 64, 64), webp, {.quality = 95});
    const auto poor = tessera::io::encode(picture(IMAGE_RGB, 64, 64), webp, {.quality = 10});
    EXPECT_LT(poor.size(), good.size());
    for (std::size_t n : {std::size_t{0}, std::size_t{11}, std::size_t{12}, good.size() / 2, good.size() - 1})
        EXPECT_FALSE(tessera::io::try_load_memory({good.data(), n})) << n;
}

// A colour picture of at most 256 colours is written as a palette PNG of as few bits as hold them.
TEST(IoRoundTrip, FewColoursMakeAPalettePngOfTheFewestBits) {
    for (const auto &[colours, bits] : {std::pair{2, 1}, {4, 2}, {16, 4}, {200, 8}, {256, 8}, {257, 8}})
        for (const uint16_t tag : {IMAGE_RGB, IMAGE_RGBA}) {
            tessera::any_image im(tag, 40, 30, 0, 0);
            for (int i = 0; i < 40 * 30; ++i) {
                const int c = i % colours;
                const auto v = static_cast<uint8_t>(c), w = static_cast<uint8_t>(c * 7),
                           b = static_cast<uint8_t>(9 + c / 256);
                if (tag == IMAGE_RGB) static_cast<RGB *>(im.get()->data[i / 40])[i % 40] = RGB{v, w, b};
                else
                    static_cast<RGBA *>(im.get()->data[i / 40])[i % 40] =
                        RGBA{v, w, b, static_cast<uint8_t>(c % 3 * 100)};
            }
            const auto bytes = tessera::io::encode(im, tessera::io::format("png"));
            const bool indexed = colours <= 256;
            EXPECT_EQ(bytes[25], indexed ? 3 : tag == IMAGE_RGB ? 2 : 6) << colours << " colours, tag " << tag;
            EXPECT_EQ(bytes[24], indexed ? bits : 8) << colours << " colours";
            EXPECT_TRUE(same(im, tessera::io::load_memory(bytes))) << colours << " colours, tag " << tag;
        }
}

TEST(IoRoundTrip, BmpGivesBackColourAlphaAndGrayAsColour) {
    const tessera_io_format *bmp = tessera::io::format("bmp");
    for (const uint16_t tag : {IMAGE_RGB, IMAGE_RGBA}) {
        const tessera::any_image im = picture(tag, 37, 23); // 37 * 3 bytes: rows padded to 4
        tessera::io::file_info info{};
        EXPECT_TRUE(same(im, tessera::io::load_memory(tessera::io::encode(im, bmp), {}, &info))) << tag;
        EXPECT_STREQ(info.magic, "BMP");
    }
    const tessera::any_image gray = picture(IMAGE_GRAY);
    const tessera::any_image back = tessera::io::load_memory(tessera::io::encode(gray, bmp));
    ASSERT_EQ(back.tag(), IMAGE_RGB);
    EXPECT_EQ(static_cast<RGB *>(back.get()->data[22])[36].b, static_cast<uint8_t *>(gray.get()->data[22])[36]);
    // A header claiming more rows than the file holds is refused before the image is made.
    auto bytes = tessera::io::encode(picture(IMAGE_RGB, 8, 8), bmp);
    bytes[22] = 0xff, bytes[23] = 0xff, bytes[24] = 0x0f; // a height of about a million rows
    tessera::io::file_info info{};
    EXPECT_FALSE(tessera::io::try_load_memory(bytes, {}, &info));
    EXPECT_NE(std::string(tessera_io_last_error()).find("ends after"), std::string::npos) << tessera_io_last_error();
}

TEST(IoRoundTrip, JpegKeepsSizeAndStaysClose) {
    tessera::any_image im(IMAGE_RGB, 64, 48, 0, 0); // smooth ramps, as photographs mostly are
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            static_cast<RGB *>(im.get()->data[y])[x] =
                RGB{static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 5), static_cast<uint8_t>(128 + x - y)};
    const auto bytes = tessera::io::encode(im, tessera::io::format("jpeg"), {.quality = 95});
    const tessera::any_image back = tessera::io::load_memory(bytes);
    ASSERT_EQ(back.tag(), IMAGE_RGB);
    double error = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const RGB a = static_cast<RGB *>(im.get()->data[y])[x], b = static_cast<RGB *>(back.get()->data[y])[x];
            error += std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b);
        }
    EXPECT_LT(error / (64 * 48 * 3), 2.0);
}

TEST(IoLoad, WantedTypeAndBackgroundApply) {
    // A 2 x 1 gray + alpha PAM: opaque 200, transparent.
    const std::string pam =
        std::string("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n") +
        std::string("\xc8\xff\x00\x00", 4);
    const auto *bytes = reinterpret_cast<const unsigned char *>(pam.data());
    const tessera::any_image rgb = tessera::io::load_memory(
        {bytes, pam.size()}, {.depth = tessera::io::depth::reduce, .background = RGB{0, 0, 255}}, nullptr);
    ASSERT_EQ(rgb.tag(), IMAGE_RGB);
    EXPECT_EQ(static_cast<RGB *>(rgb.get()->data[0])[1].b, 255);
    const tessera::any_image f = tessera::io::load_memory({bytes, pam.size()}, {.tag = IMAGE_FLOAT});
    ASSERT_EQ(f.tag(), IMAGE_FLOAT);
    EXPECT_EQ(static_cast<float *>(f.get()->data[0])[0], 200.0f);
    // A PGM of maxval 100 is scaled, or kept as stored.
    const std::string pgm = "P2 3 1 100 0 50 100";
    const auto *p = reinterpret_cast<const unsigned char *>(pgm.data());
    const tessera::any_image scaled = tessera::io::load_memory({p, pgm.size()});
    EXPECT_EQ(static_cast<uint8_t *>(scaled.get()->data[0])[1], 128);
    const tessera::any_image kept = tessera::io::load_memory({p, pgm.size()}, {.depth = tessera::io::depth::keep});
    EXPECT_EQ(static_cast<uint8_t *>(kept.get()->data[0])[1], 128) << "8-bit samples are scaled unless raw";
    const tessera::any_image raw = tessera::io::load_memory({p, pgm.size()}, {.depth = tessera::io::depth::raw});
    EXPECT_EQ(static_cast<uint8_t *>(raw.get()->data[0])[1], 50);
}

// ---- images as the files have them ---------------------------------------------------------------

TEST(IoOwnTypes, AlphaAndSixteenBitsLoadAsTheFileHasThem) {
    for (const char *name : {"png", "tiff", "pam"})
        for (const uint16_t tag : {IMAGE_RGBA, IMAGE_GRAY16, IMAGE_RGB16, IMAGE_RGBA16}) {
            const tessera_io_format *f = tessera::io::format(name);
            const tessera::any_image im = picture(tag);
            const auto bytes = tessera::io::encode(im, f);
            tessera::io::file_info info{};
            const tessera::any_image back = tessera::io::load_memory(bytes, {}, &info);
            EXPECT_TRUE(same(im, back)) << name << " tag " << tag;
            EXPECT_EQ(info.alpha, tag == IMAGE_RGBA || tag == IMAGE_RGBA16) << name;
            EXPECT_EQ(info.bits, tag == IMAGE_RGBA ? 8 : 16) << name;
            // The same file reduced: 8 bits, alpha over the background.
            const tessera::any_image reduced = tessera::io::load_memory(bytes, {.depth = tessera::io::depth::reduce});
            EXPECT_EQ(reduced.tag(), tag == IMAGE_GRAY16 ? IMAGE_GRAY : IMAGE_RGB) << name;
        }
    // Gray with alpha loads as RGBA, its gray in each colour.
    const std::string pam =
        std::string("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n") +
        std::string("\xc8\xff\x10\x40", 4);
    const tessera::any_image ga =
        tessera::io::load_memory({reinterpret_cast<const unsigned char *>(pam.data()), pam.size()});
    ASSERT_EQ(ga.tag(), IMAGE_RGBA);
    const RGBA p = static_cast<RGBA *>(ga.get()->data[0])[1];
    EXPECT_TRUE(p.r == 16 && p.g == 16 && p.b == 16 && p.a == 64);
    // A 16-bit PGM of maximum value 1000 spans 0..65535.
    const std::string pgm = "P2 2 1 1000 0 1000";
    const tessera::any_image deep =
        tessera::io::load_memory({reinterpret_cast<const unsigned char *>(pgm.data()), pgm.size()});
    ASSERT_EQ(deep.tag(), IMAGE_GRAY16);
    EXPECT_EQ(static_cast<uint16_t *>(deep.get()->data[0])[1], 65535);
}

TEST(IoOwnTypes, SavesKeepAlphaAndScaleDepthOnlyWhereAsked) {
    const tessera::any_image deep = picture(IMAGE_RGB16);
    // At 8 bits on request, and in a format of 8-bit samples: v / 257 rounded.
    for (const auto &[name, depth] : {std::pair{"png", 8}, std::pair{"jpeg", 0}}) {
        const auto bytes = tessera::io::encode(deep, tessera::io::format(name), {.depth = depth, .quality = 100});
        const tessera::any_image back = tessera::io::load_memory(bytes);
        ASSERT_EQ(back.tag(), IMAGE_RGB) << name;
        const RGB16 want = static_cast<RGB16 *>(deep.get()->data[4])[30];
        const RGB got = static_cast<RGB *>(back.get()->data[4])[30];
        if (std::strcmp(name, "png") == 0) {
            EXPECT_EQ(got.g, (want.g * 255 + 32767) / 65535);
        }
        EXPECT_EQ(back.width(), deep.width()) << name; // JPEG: lossy, but taken
    }
    // Alpha is never dropped by a save: a format without it refuses, naming the way out.
    const tessera::any_image rgba = picture(IMAGE_RGBA);
    for (const char *name : {"jpeg", "ppm", "pgm"}) {
        try {
            (void)tessera::io::encode(rgba, tessera::io::format(name));
            ADD_FAILURE() << name << " took an RGBA image";
        } catch (const tessera::file_error &e) {
            EXPECT_NE(std::string(e.what()).find("flatten"), std::string::npos) << e.what();
        }
    }
}

TEST(IoOwnTypes, ConversionsScaleDepthAndCompositeAlpha) {
    tessera::any_image rgba(IMAGE_RGBA, 2, 1, 0, 0);
    static_cast<RGBA *>(rgba.get()->data[0])[0] = RGBA{200, 100, 50, 255};
    static_cast<RGBA *>(rgba.get()->data[0])[1] = RGBA{200, 100, 50, 51};
    const auto convert = [](const tessera::any_image &im, uint16_t tag) { return tessera::io::convert(im, tag); };
    const tessera::any_image rgb = convert(rgba, IMAGE_RGB);
    const RGB over = static_cast<RGB *>(rgb.get()->data[0])[1];
    EXPECT_TRUE(over.r == 40 && over.g == 20 && over.b == 10) << "over black, as a load without alpha";
    const tessera::any_image deep = convert(rgba, IMAGE_RGBA16);
    const RGBA16 d = static_cast<RGBA16 *>(deep.get()->data[0])[1];
    EXPECT_TRUE(d.r == 200 * 257 && d.a == 51 * 257);
    const tessera::any_image back = convert(deep, IMAGE_RGBA);
    EXPECT_TRUE(same(rgba, back));
    const tessera::any_image gray16 = convert(convert(rgba, IMAGE_GRAY), IMAGE_GRAY16);
    EXPECT_EQ(static_cast<uint16_t *>(gray16.get()->data[0])[0] % 257, 0);
    const tessera::any_image opaque = convert(rgb, IMAGE_RGBA);
    EXPECT_EQ(static_cast<RGBA *>(opaque.get()->data[0])[1].a, 255);
    const tessera::any_image bin = convert(gray16, IMAGE_BINARY);
    EXPECT_EQ(static_cast<int8_t *>(bin.get()->data[0])[1], 1) << "dark below the middle of 16 bits";
    EXPECT_EQ(tessera_io_target_tag(tessera::io::format("jpeg"), IMAGE_RGBA16, 1), IMAGE_RGB);
    EXPECT_EQ(tessera_io_target_tag(tessera::io::format("png"), IMAGE_RGBA16, 0), IMAGE_RGBA16);
}

TEST(IoSaves, SaysWhichImagesAFormatTakesAndWhy) {
    struct Case {
        const char *format;
        uint16_t tag;
        int depth;
        bool takes;
        const char *reason;
    };
    for (const Case &c : std::initializer_list<Case>{
             {"png", IMAGE_RGBA16, 0, true, ""},
             {"jpeg", IMAGE_RGB16, 0, true, ""}, // at 8 bits
             {"png", IMAGE_RGBA16, 8, true, ""},
             {"pam", IMAGE_INT, 16, true, ""},
             {"jpeg", IMAGE_RGBA, 0, false, "flatten first"},
             {"ppm", IMAGE_RGBA16, 0, false, "flatten first"},
             {"png", IMAGE_INT, 0, false, "save at depth 16"},
             {"jpeg", IMAGE_GRAY, 16, false, "8-bit samples only"},
             {"png", IMAGE_GRAY, 12, false, "depth 12"},
         }) {
        const bool takes = tessera_io_saves(tessera::io::format(c.format), c.tag, c.depth) == 1;
        EXPECT_EQ(takes, c.takes) << c.format << " " << c.tag << " at " << c.depth;
        EXPECT_NE(std::string(tessera_io_last_error()).find(c.reason), std::string::npos) << tessera_io_last_error();
        if (takes) {
            EXPECT_STREQ(tessera_io_last_error(), "");
        }
    }
}

// A JPEG of im with an EXIF block recording orientation n (big-endian, as cameras write it).
std::vector<unsigned char> jpeg_with_orientation(const tessera::any_image &im, int n) {
    std::vector<unsigned char> bytes = tessera::io::encode(im, tessera::io::format("jpeg"), {.quality = 100});
    const unsigned char exif[] = {0xff, 0xe1, 0, 34, 'E', 'x', 'i', 'f', 0, 0,
                                  'M',  'M',  0, 42, 0,   0,   0,   8,   0, 1,
                                  0x01, 0x12, 0, 3,  0,   0,   0,   1,   0, static_cast<unsigned char>(n),
                                  0,    0,    0, 0,  0,   0};
    bytes.insert(bytes.begin() + 2, std::begin(exif), std::end(exif));
    return bytes;
}

// Each orientation as EXIF defines it: which stored pixel shows at upright (x, y) of a stored
// w x h picture.
std::pair<int32_t, int32_t> stored_at(int n, int32_t x, int32_t y, int32_t w, int32_t h) {
    switch (n) {
    case 2: return {w - 1 - x, y};
    case 3: return {w - 1 - x, h - 1 - y};
    case 4: return {x, h - 1 - y};
    case 5: return {y, x};                 // row 0 on the left, column 0 on top
    case 6: return {y, h - 1 - x};         // row 0 on the right, column 0 on top
    case 7: return {w - 1 - y, h - 1 - x}; // row 0 on the right, column 0 at the bottom
    case 8: return {w - 1 - y, x};         // row 0 on the left, column 0 at the bottom
    default: return {x, y};
    }
}

TEST(IoOrientation, EachOfTheEightTurnsTheStoredPixelsUpright) {
    const tessera::any_image im = picture(IMAGE_RGB, 21, 13);
    for (int n = 1; n <= 8; ++n) {
        const auto bytes = jpeg_with_orientation(im, n);
        tessera::io::file_info info{};
        const tessera::any_image stored = tessera::io::load_memory(bytes, {.keep_orientation = true}, &info);
        EXPECT_EQ(info.orientation, n);
        const tessera::any_image upright = tessera::io::load_memory(bytes);
        const bool swaps = n >= 5;
        ASSERT_EQ(upright.width(), swaps ? 13 : 21) << n;
        ASSERT_EQ(upright.height(), swaps ? 21 : 13) << n;
        int wrong = 0;
        for (int32_t y = 0; y < upright.height(); ++y)
            for (int32_t x = 0; x < upright.width(); ++x) {
                const auto [sx, sy] = stored_at(n, x, y, 21, 13);
                const RGB a = static_cast<RGB *>(upright.get()->data[y])[x];
                const RGB b = static_cast<RGB *>(stored.get()->data[sy])[sx];
                if ((a.r != b.r || a.g != b.g || a.b != b.b) && wrong++ < 3)
                    ADD_FAILURE() << "orientation " << n << ": (" << x << ", " << y << ") is not stored (" << sx << ", "
                                  << sy << ")";
            }
    }
    // A damaged or foreign EXIF block is no orientation.
    auto bytes = jpeg_with_orientation(im, 9);
    tessera::io::file_info info{};
    EXPECT_EQ(tessera::io::load_memory(bytes, {}, &info).width(), 21);
    EXPECT_EQ(info.orientation, 0);
    bytes = jpeg_with_orientation(im, 6);
    bytes[17] = 0xff; // the first directory's offset now points past the block
    EXPECT_EQ(tessera::io::load_memory(bytes, {}, &info).width(), 21);
    EXPECT_EQ(info.orientation, 0);
}

// ---- sources ---------------------------------------------------------------------------------

TEST(IoSources, PathStreamDescriptorPipeAndMemoryGiveTheSameImage) {
    const tessera::any_image im = picture(IMAGE_RGB);
    for (const char *name : {"png", "tiff", "ppm", "jpeg"}) {
        const tessera_io_format *f = tessera::io::format(name);
        const auto bytes = tessera::io::encode(im, f);
        const std::string path = scratch() + "/source." + name;
        spit(path, std::string(bytes.begin(), bytes.end()));
        const tessera::any_image from_path = tessera::io::load(path);
        std::FILE *stream = std::fopen(path.c_str(), "rb");
        const tessera::any_image from_stream = tessera::io::load(stream);
        std::fclose(stream);
        const int fd = open(path.c_str(), O_RDONLY);
        tessera::any_image from_fd = tessera::any_image::adopt(tessera_io_load_fd(fd, nullptr, nullptr));
        close(fd);
        // A pipe cannot seek: the format is found from bytes read once.
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::thread writer([&] {
            for (std::size_t done = 0; done < bytes.size();) {
                const ssize_t n = write(fds[1], bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            close(fds[1]);
        });
        std::FILE *piped = fdopen(fds[0], "rb");
        const tessera::any_image from_pipe = tessera::io::load(piped);
        writer.join();
        std::fclose(piped);
        const tessera::any_image from_memory = tessera::io::load_memory(bytes);
        EXPECT_TRUE(same(from_path, from_stream)) << name;
        ASSERT_TRUE(from_fd.valid()) << name << ": " << tessera_io_last_error();
        EXPECT_TRUE(same(from_path, from_fd)) << name;
        EXPECT_TRUE(same(from_path, from_pipe)) << name;
        EXPECT_TRUE(same(from_path, from_memory)) << name;
    }
}

// A TIFF written into a stream after other bytes (appending, or where the stream stands) reads
// back from there: its offsets count from its own start.
TEST(IoSources, TiffsWrittenAfterOtherBytesReadBack) {
    const tessera::any_image im = picture(IMAGE_RGB);
    for (const char *mode : {"ab", "r+b"}) {
        const std::string path = scratch() + "/after.tif";
        spit(path, "junk");
        std::FILE *f = std::fopen(path.c_str(), mode);
        ASSERT_NE(f, nullptr);
        std::fseek(f, 4, SEEK_SET);
        tessera::io::save(im, f, tessera::io::format("tiff"));
        std::fclose(f);
        f = std::fopen(path.c_str(), "rb");
        std::fseek(f, 4, SEEK_SET);
        const tessera::any_image back = tessera::io::load(f);
        std::fclose(f);
        EXPECT_TRUE(same(im, back)) << mode;
        EXPECT_EQ(slurp(path).substr(0, 4), "junk") << mode;
    }
}

TEST(IoSources, LibraryFilesFromAPipeKeepTheirComment) {
    // A long comment: the header is read twice, once to find the kind and once by the library.
    const std::string comment(5000, 'c');
    const std::string file = "P5\n#" + comment + "\n2 1\n255\nAB";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(fds[1]);
    std::FILE *in = fdopen(fds[0], "rb");
    const tessera::any_image im = tessera::io::load(in);
    std::fclose(in);
    EXPECT_EQ(static_cast<uint8_t *>(im.get()->data[0])[1], 'B');
    ASSERT_NE(im.get()->header->comment, nullptr);
    EXPECT_EQ(std::strlen(strGet(im.get()->header->comment)), comment.size());
}

// ---- hostile and damaged files ----------------------------------------------------------------

std::vector<unsigned char> png_of(const tessera::any_image &im) {
    return tessera::io::encode(im, tessera::io::format("png"));
}

TEST(IoHostile, HeadersClaimingHugeImagesAreRefusedBeforeAllocating) {
    // A PNG header claiming 100000 x 100000 (ten billion pixels), then nothing.
    auto bytes = png_of(picture(IMAGE_GRAY, 4, 4));
    auto put32 = [&](std::size_t at, uint32_t v) {
        for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<unsigned char>(v >> (24 - 8 * k));
    };
    put32(16, 100000);
    put32(20, 100000);
    // The header's CRC, so that libpng reads on to the sizes.
    uint32_t crc = 0xffffffffu;
    for (std::size_t i = 12; i < 29; ++i) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; ++k) crc = crc >> 1 ^ (0xedb88320u & (0u - (crc & 1)));
    }
    put32(29, ~crc);
    EXPECT_EQ(tessera_io_load_memory(bytes.data(), bytes.size(), nullptr, nullptr), nullptr);
    EXPECT_NE(std::strstr(tessera_io_last_error(), "more than the budget"), nullptr) << tessera_io_last_error();
    // Within the limit, the file is too short to hold it: refused before allocating too.
    tessera_io_load_options o;
    tessera_io_load_defaults(&o);
    o.max_pixels = 20000000000ULL;
    o.max_bytes = 20000000000ULL;
    EXPECT_EQ(tessera_io_load_memory(bytes.data(), bytes.size(), &o, nullptr), nullptr);
    EXPECT_NE(std::strstr(tessera_io_last_error(), "cannot hold"), nullptr) << tessera_io_last_error();
    // Netpbm, PAM and the caller's own limit.
    for (const std::string text :
         {"P5 60000 60000 255\n", "P7\nWIDTH 70000\nHEIGHT 70000\nDEPTH 1\nMAXVAL 255\nENDHDR\n", "P2 20 20 255\n"}) {
        o.max_pixels = text[1] == '2' ? 399 : 0;
        EXPECT_EQ(tessera_io_load_memory(text.data(), text.size(), &o, nullptr), nullptr) << text;
        EXPECT_TRUE(std::strstr(tessera_io_last_error(), "limit") || std::strstr(tessera_io_last_error(), "ends after"))
            << tessera_io_last_error();
    }
}

TEST(IoHostile, EveryTruncationOfEveryFormatFailsCleanly) {
    const tessera::any_image im = picture(IMAGE_RGB, 40, 30);
    for (const char *name : {"png", "jpeg", "tiff", "ppm", "pam"}) {
        const auto bytes = tessera::io::encode(im, tessera::io::format(name));
        for (std::size_t cut = 1; cut < bytes.size(); cut += 1 + bytes.size() / 97) {
            void *got = tessera_io_load_memory(bytes.data(), cut, nullptr, nullptr);
            // A truncated file is an error, never a smaller or partly grey image.
            if (got) {
                // TIFF may end with tags the image does not need; what loads must be whole.
                tessera::any_image back = tessera::any_image::adopt(got);
                EXPECT_TRUE(std::strcmp(name, "jpeg") == 0 ? back.get()->header->width == 40 : same(im, back))
                    << name << " cut at " << cut;
            } else {
                EXPECT_STRNE(tessera_io_last_error(), "") << name << " cut at " << cut;
            }
        }
    }
}

TEST(IoHostile, ForeignFilesAndDrawingsAreNamed) {
    EXPECT_EQ(tessera_io_load_memory("%PDF-1.4..", 10, nullptr, nullptr), nullptr);
    EXPECT_STREQ(tessera_io_last_error(), "PDF files are not supported (starts with 25 50 44 46)");
    EXPECT_EQ(tessera_io_load_memory("PTL 0 0 1 1\n", 12, nullptr, nullptr), nullptr);
    EXPECT_STREQ(tessera_io_last_error(), "a drawing, not an image (render it first)");
    EXPECT_EQ(tessera_io_load("/nonexistent/x.png", nullptr, nullptr), nullptr);
    EXPECT_EQ(tessera_io_last_errno(), ENOENT);
    EXPECT_THROW(tessera::io::load("/nonexistent/x.png"), tessera::file_error);
}

// Each failure comes with its code, and the C++ face throws by the code: memory as
// std::bad_alloc, every other failure a tessera::error whose kind() is the code.
TEST(IoReasons, EachHasItsCodeThroughCAndCxx) {
    const std::string png = [] {
        const auto bytes = png_of(picture(IMAGE_RGB, 8, 8));
        return std::string(bytes.begin(), bytes.end());
    }();
    struct Case {
        const char *name;
        std::string bytes;
        uint64_t max_bytes;
        int code;
    };
    const Case cases[] = {
        {"a PNG cut short", png.substr(0, png.size() - 20), 0, TESSERA_ERROR_FORMAT},
        {"a PDF", "%PDF-1.4..", 0, TESSERA_ERROR_UNSUPPORTED},
        {"a GIF cut short", "GIF89a\x10\0\x10\0\x80\0\0", 0, TESSERA_ERROR_FORMAT},
        {"a drawing", "PTL 0 0 1 1\n", 0, TESSERA_ERROR_UNSUPPORTED},
        {"a sample above maxval", "P2 1 1 3\n7\n", 0, TESSERA_ERROR_FORMAT},
        {"an image over the budget", "P5 600 600 255\n", 1000, TESSERA_ERROR_LIMIT},
        {"nothing", "", 0, TESSERA_ERROR_FORMAT},
    };
    for (const Case &c : cases) {
        tessera_io_load_options o;
        tessera_io_load_defaults(&o);
        o.max_bytes = c.max_bytes;
        EXPECT_EQ(tessera_io_load_memory(c.bytes.data(), c.bytes.size(), &o, nullptr), nullptr) << c.name;
        EXPECT_EQ(tessera_io_last_error_code(), c.code) << c.name << ": " << tessera_io_last_error();
        if (c.bytes.empty()) continue;
        tessera::io::load_options lo;
        lo.max_bytes = c.max_bytes;
        try {
            tessera::io::load_memory(std::span(reinterpret_cast<const unsigned char *>(c.bytes.data()), c.bytes.size()),
                                     lo);
            ADD_FAILURE() << c.name << " loaded";
        } catch (const tessera::error &e) {
            EXPECT_EQ(static_cast<int>(e.kind()), c.code) << c.name << ": " << e.what();
        }
    }
    EXPECT_EQ(tessera_io_load("/nonexistent/x.png", nullptr, nullptr), nullptr);
    EXPECT_EQ(tessera_io_last_error_code(), TESSERA_ERROR_FILE);
    EXPECT_EQ(tessera_io_save(picture(IMAGE_GRAY).get(), "x.unknown-extension", nullptr, nullptr), -1);
    EXPECT_EQ(tessera_io_last_error_code(), TESSERA_ERROR_ARGUMENT);
    try {
        tessera::io::load("/nonexistent/x.png");
        ADD_FAILURE() << "loaded a file that is not there";
    } catch (const tessera::file_error &e) {
        EXPECT_EQ(e.kind(), tessera::failure::file);
        EXPECT_EQ(e.code().value(), ENOENT);
    }
    // A reason of the core (a conversion past the budget) keeps its code through the io library.
    const uint64_t before = tessera_set_budget(100);
    EXPECT_EQ(tessera_io_convert(picture(IMAGE_GRAY).get(), IMAGE_DOUBLE, 0), nullptr);
    EXPECT_EQ(tessera_io_last_error_code(), TESSERA_ERROR_LIMIT) << tessera_io_last_error();
    tessera_set_budget(before);
}

// ---- safe outputs -------------------------------------------------------------------------------

TEST(IoOutput, ReplacingKeepsModeAndFollowsSymlinks) {
    const std::string dir = scratch() + "/replace";
    mkdir(dir.c_str(), 0777);
    const std::string target = dir + "/out.png", link = dir + "/link.png";
    spit(target, "old");
    chmod(target.c_str(), 0640);
    ASSERT_EQ(symlink("out.png", link.c_str()), 0);
    const tessera::any_image im = picture(IMAGE_GRAY);
    tessera::io::save(im, link);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself is kept";
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(same(im, tessera::io::load(target)));
    EXPECT_EQ(temporaries_in(dir), 0);
}

TEST(IoOutput, FilesWithOtherLinksAreWrittenInPlace) {
    const std::string dir = scratch() + "/linked";
    mkdir(dir.c_str(), 0777);
    const std::string a = dir + "/a.pgm", b = dir + "/b.pgm";
    spit(a, "old");
    ASSERT_EQ(link(a.c_str(), b.c_str()), 0);
    const tessera::any_image im = picture(IMAGE_GRAY);
    tessera::io::save(im, a);
    EXPECT_TRUE(same(im, tessera::io::load(b))) << "the other name sees the new content";
}

// With the file size limited, writing fails as on a full disk: the old file stays whole and no
// temporary is left, whether the output is replaced or written in place.
TEST(IoOutput, AFullDiskLeavesTheOldFileWhole) {
    const std::string dir = scratch() + "/full";
    mkdir(dir.c_str(), 0777);
    const std::string out = dir + "/out.pgm", other = dir + "/other.pgm";
    const std::string old(3000, 'o');
    const tessera::any_image big = picture(IMAGE_GRAY, 200, 100);
    for (bool linked : {false, true}) {
        unlink(out.c_str());
        unlink(other.c_str());
        spit(out, old);
        if (linked) {
            ASSERT_EQ(link(out.c_str(), other.c_str()), 0);
        }
        const pid_t pid = fork();
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit r{4096, 4096};
            setrlimit(RLIMIT_FSIZE, &r);
            const int status = tessera_io_save(big.get(), out.c_str(), nullptr, nullptr);
            _exit(status == 0 ? 0 : tessera_io_last_errno() == EFBIG ? 3 : 4);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 3) << (linked ? "in place" : "replacing");
        EXPECT_EQ(slurp(out), old) << (linked ? "in place" : "replacing");
        EXPECT_EQ(temporaries_in(dir), 0);
    }
}

// Another user of the directory replaces every temporary it sees with a symlink to a file of
// its choice: the save never writes through such a link.
TEST(IoOutput, APlantedSymlinkNeverRedirectsTheOutput) {
    const std::string dir = scratch() + "/race";
    mkdir(dir.c_str(), 0777);
    const std::string victim = scratch() + "/victim", out = dir + "/out.pgm";
    spit(victim, "precious");
    std::atomic<bool> stop{false};
    std::atomic<int> planted{0};
    int renamed_links = 0;
    std::thread attacker([&] {
        while (!stop) {
            DIR *d = opendir(dir.c_str());
            while (dirent *e = readdir(d)) {
                if (!std::strstr(e->d_name, ".tessera-")) continue;
                const std::string name = dir + "/" + e->d_name;
                if (unlink(name.c_str()) == 0 && symlink(victim.c_str(), name.c_str()) == 0) ++planted;
            }
            closedir(d);
        }
    });
    const tessera::any_image im = picture(IMAGE_GRAY, 300, 200);
    for (int i = 0; i < 100; ++i) {
        // Each save starts from a plain file: what a save does with a link it is given is another matter.
        unlink(out.c_str());
        spit(out, "old");
        tessera_io_save(im.get(), out.c_str(), nullptr, nullptr);
        struct stat st;
        if (lstat(out.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ++renamed_links;
    }
    stop = true;
    attacker.join();
    EXPECT_EQ(slurp(victim), "precious") << planted << " symlinks planted";
    // A link swapped in after the last check may still be renamed over the output (the other
    // user could replace the output itself anyway); what it names is never written.
    RecordProperty("planted", planted.load());
    RecordProperty("renamed_links", renamed_links);
}

// ---- headers alone --------------------------------------------------------------------------

::testing::AssertionResult same_info(const tessera_io_info &a, const tessera_io_info &b) {
    if (a.format == b.format && std::strcmp(a.magic, b.magic) == 0 && a.width == b.width && a.height == b.height &&
        a.channels == b.channels && a.alpha == b.alpha && a.bits == b.bits && a.maxval == b.maxval &&
        a.orientation == b.orientation)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a.magic << " " << a.width << "x" << a.height << " c" << a.channels << " a"
                                         << a.alpha << " b" << a.bits << " m" << a.maxval << " o" << a.orientation
                                         << " vs " << b.magic << " " << b.width << "x" << b.height << " c" << b.channels
                                         << " a" << b.alpha << " b" << b.bits << " m" << b.maxval << " o"
                                         << b.orientation;
}

TEST(IoProbe, TheHeaderTellsWhatALoadFindsInEveryFormatTypeAndDepth) {
    int checked = 0;
    for (const tessera_io_format *f : tessera::io::formats()) {
        if (!f->writes || !tessera_io_format_named(f->name)) continue;
        for (uint16_t tag = 1; tag; tag = static_cast<uint16_t>(tag << 1)) {
            if (!(f->writes & tag)) continue;
            const tessera::any_image im = picture(tag);
            const std::string path = scratch() + "/probe." + f->name;
            if (tessera_io_save(im.get(), path.c_str(), f, nullptr) != 0) continue; // pnm: no reader of its own
            for (const int depth : {TESSERA_IO_OWN, TESSERA_IO_RAW, TESSERA_IO_REDUCE}) {
                tessera_io_load_options o;
                tessera_io_load_defaults(&o);
                o.depth = depth;
                o.keep_orientation = 1;
                o.max_pixels = 1; // a header is no image: no pixel limit applies
                tessera_io_info probed{}, loaded{};
                const uint16_t type = tessera_io_probe(path.c_str(), &o, &probed);
                ASSERT_NE(type, 0) << f->name << " tag " << tag << ": " << tessera_io_last_error();
                EXPECT_STREQ(tessera_io_last_error(), "");
                o.max_pixels = 0;
                void *back = tessera_io_load(path.c_str(), &o, &loaded);
                ASSERT_NE(back, nullptr) << f->name << " tag " << tag << ": " << tessera_io_last_error();
                const tessera::any_image got = tessera::any_image::adopt(back);
                EXPECT_EQ(type, got.get()->header->tag) << f->name << " tag " << tag << " depth " << depth;
                EXPECT_TRUE(same_info(probed, loaded)) << f->name << " tag " << tag << " depth " << depth;
                // the library's own files give back what was written
                if (f->name[0] == 'q' && depth == TESSERA_IO_OWN) {
                    EXPECT_TRUE(same(im, got)) << f->name;
                }
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 60);
}

TEST(IoProbe, NoPixelIsReadSoShortFilesAndHugeClaimsAreDescribed) {
    // a PNG header claiming 100000 x 100000, a PPM and a PNG cut short, a JPEG turned by EXIF
    auto huge = png_of(picture(IMAGE_GRAY, 4, 4));
    auto put32 = [&](std::size_t at, uint32_t v) {
        for (int k = 0; k < 4; ++k) huge[at + k] = static_cast<unsigned char>(v >> (24 - 8 * k));
    };
    put32(16, 100000), put32(20, 100000);
    uint32_t crc = 0xffffffffu;
    for (std::size_t i = 12; i < 29; ++i) {
        crc ^= huge[i];
        for (int k = 0; k < 8; ++k) crc = crc >> 1 ^ (0xedb88320u & (0u - (crc & 1)));
    }
    put32(29, ~crc);
    const auto ppm = tessera::io::encode(picture(IMAGE_RGB, 40, 30), tessera::io::format("ppm"));
    const auto png = png_of(picture(IMAGE_RGBA16, 40, 30));
    const auto jpeg = jpeg_with_orientation(picture(IMAGE_RGB, 40, 30), 6);
    const struct {
        std::vector<unsigned char> bytes;
        std::size_t keep;
        uint16_t tag;
        int32_t w, h;
        int orientation;
    } cases[] = {{huge, huge.size(), IMAGE_GRAY, 100000, 100000, 0},
                 {ppm, ppm.size() / 2, IMAGE_RGB, 40, 30, 0},
                 {png, 120, IMAGE_RGBA16, 40, 30, 0},
                 {jpeg, jpeg.size(), IMAGE_RGB, 40, 30, 6}};
    for (const auto &c : cases) {
        const std::string path = scratch() + "/short";
        spit(path, std::string(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(c.keep)));
        tessera_io_info info{};
        EXPECT_EQ(tessera_io_probe(path.c_str(), nullptr, &info), c.tag) << tessera_io_last_error();
        EXPECT_EQ(info.width, c.w);
        EXPECT_EQ(info.height, c.h);
        EXPECT_EQ(info.orientation, c.orientation);
        if (c.keep < c.bytes.size()) {
            EXPECT_EQ(tessera_io_load(path.c_str(), nullptr, nullptr), nullptr);
        }
    }
    // what is not an image, or not there, is a failure with its reason
    spit(scratch() + "/pdf", "%PDF-1.4..");
    EXPECT_EQ(tessera_io_probe((scratch() + "/pdf").c_str(), nullptr, nullptr), 0);
    EXPECT_STREQ(tessera_io_last_error(), "PDF files are not supported (starts with 25 50 44 46)");
    EXPECT_EQ(tessera_io_probe("/nonexistent/x.png", nullptr, nullptr), 0);
    EXPECT_EQ(tessera_io_last_errno(), ENOENT);
}

// ---- thumbnails -----------------------------------------------------------------------------

// The largest difference between two images of one type and size, sample by sample.
int largest_difference(const tessera::any_image &a, const tessera::any_image &b) {
    const ImageHeader *h = a.get()->header;
    int most = 0;
    for (int32_t y = 0; y < h->height; ++y)
        for (std::size_t k = 0; k < static_cast<std::size_t>(h->width) * element(h->tag); ++k) {
            const int d =
                static_cast<const uint8_t *>(a.get()->data[y])[k] - static_cast<const uint8_t *>(b.get()->data[y])[k];
            most = std::max(most, d < 0 ? -d : d);
        }
    return most;
}

// A smooth picture (a JPEG's fractional decodes are close to a whole one on smooth content).
tessera::any_image smooth(int32_t w, int32_t h) {
    tessera::any_image im(IMAGE_RGB, w, h, 0, 0);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            static_cast<RGB *>(im.get()->data[y])[x] =
                RGB{static_cast<uint8_t>(x * 255 / w), static_cast<uint8_t>(y * 255 / h),
                    static_cast<uint8_t>(128 + 100 * std::sin(x * 0.02) * std::cos(y * 0.03))};
    return im;
}

TEST(IoThumbnail, FitsTheBoxUprightAndAgreesWithALoadAndAResize) {
    const tessera::any_image big = smooth(800, 600);
    const std::string png = scratch() + "/thumb.png", jpeg = scratch() + "/thumb.jpg";
    tessera::io::save(big, png);
    const std::vector<unsigned char> turned = jpeg_with_orientation(big, 6); // upright: 600 x 800
    spit(jpeg, std::string(turned.begin(), turned.end()));
    struct Case {
        std::string path;
        int32_t box_w, box_h, w, h;
    } cases[] = {{png, 200, 0, 200, 150},     {png, 200, 100, 133, 100}, {png, 0, 60, 80, 60},
                 {png, 1000, 1000, 800, 600}, {jpeg, 150, 0, 150, 200},  {jpeg, 100, 100, 75, 100},
                 {jpeg, 0, 799, 599, 799}};
    for (const Case &c : cases) {
        for (int filter : {TESSERA_BILINEAR, TESSERA_LANCZOS3}) {
            tessera::io::file_info info{};
            const tessera::any_image t = tessera::io::thumbnail(c.path, c.box_w, c.box_h, filter, {}, &info);
            ASSERT_EQ(t.get()->header->width, c.w) << c.path << " " << c.box_w << "x" << c.box_h;
            ASSERT_EQ(t.get()->header->height, c.h) << c.path << " " << c.box_w << "x" << c.box_h;
            const tessera::any_image whole = tessera::io::load(c.path);
            const tessera::any_image want =
                c.w == whole.get()->header->width
                    ? tessera::any_image::adopt(tessera_io_convert(whole.get(), whole.get()->header->tag, 0))
                    : tessera::any_image::adopt(tessera_resize(whole.get(), c.w, c.h, filter));
            // PNG: the very same bytes; JPEG decoded smaller: close to them
            if (c.path == png) EXPECT_TRUE(same(t, want)) << c.box_w << "x" << c.box_h;
            else EXPECT_LE(largest_difference(t, want), 16) << c.box_w << "x" << c.box_h;
        }
    }
    // PNGs resized as their rows are decoded, every kind of row: what a load and a resize give
    for (uint16_t tag : {IMAGE_BINARY, IMAGE_GRAY, IMAGE_RGBA, IMAGE_GRAY16, IMAGE_RGB16, IMAGE_RGBA16}) {
        const std::string path = scratch() + "/rows.png";
        tessera::io::save(picture(tag, 97, 61), path);
        for (int filter = TESSERA_NEAREST; filter <= TESSERA_LANCZOS3; ++filter) {
            const tessera::any_image t = tessera::io::thumbnail(path, 24, 0, filter);
            const tessera::any_image whole = tessera::io::load(path);
            EXPECT_TRUE(same(t, tessera::any_image::adopt(tessera_resize(whole.get(), 24, 15, filter))))
                << "tag " << tag << " filter " << filter;
        }
    }
    // the limits bound the thumbnail; the picture is bounded as work, by its decoded bytes
    {
        const std::string path = scratch() + "/rows.png"; // 97 x 61 x 8 bytes: 47,336
        tessera_io_load_options o;
        tessera_io_load_defaults(&o);
        o.max_bytes = 12000; // the whole picture is refused; a 24 x 15 thumbnail (2,880) and its rows are not
        void *t = tessera_io_thumbnail(path.c_str(), 24, 0, TESSERA_BICUBIC, &o, nullptr);
        EXPECT_NE(t, nullptr) << tessera_io_last_error();
        if (t) im_Free_(t, static_cast<AnyImageStruct *>(t)->header->tag);
        o.max_bytes = 5000; // 8 x 5,000 bytes of work: less than the picture's
        EXPECT_EQ(tessera_io_thumbnail(path.c_str(), 24, 0, TESSERA_BICUBIC, &o, nullptr), nullptr);
        EXPECT_NE(std::strstr(tessera_io_last_error(), "row by row"), nullptr) << tessera_io_last_error();
    }
    // a box without a side, a side below 0, an unknown filter: refused with the reason
    for (const auto &[w, h, f] : {std::tuple{0, 0, TESSERA_BICUBIC}, {-5, 10, TESSERA_BICUBIC}, {10, 10, 99}}) {
        EXPECT_EQ(tessera_io_thumbnail(png.c_str(), w, h, f, nullptr, nullptr), nullptr);
        EXPECT_STRNE(tessera_io_last_error(), "");
    }
}

} // namespace

// ---- the C++ face's saves by name --------------------------------------------------------------

namespace {

TEST(IoCxxSaves, TypedImagesSaveThroughTheIoLibraryAndTheCoreRefusesForeignNames) {
    tessera::image<RGB> rgb(4, 3);
    rgb.at(1, 1) = RGB{200, 10, 20};
    const std::string png = scratch() + "/typed.png";
    tessera::io::save(rgb, png); // an lvalue image<RGB>: no conversion to any_image needed
    EXPECT_EQ(slurp(png).substr(1, 3), "PNG");
    const std::vector<unsigned char> jpeg = tessera::io::encode(rgb, tessera::io::format("jpeg"));
    EXPECT_EQ(jpeg.at(0), 0xff);
    EXPECT_TRUE(tessera::io::try_save(tessera::image<uint8_t>(2, 2), scratch() + "/gray.tif"));
    // The core writes its own files only: a PNG name would get a PPM, so it is refused.
    for (const char *name : {"/core.png", "/core.JPG", "/core.tiff", "/core.pam"}) {
        const std::string path = scratch() + name;
        EXPECT_THROW(rgb.save(path), std::invalid_argument) << name;
        EXPECT_FALSE(rgb.try_save(path)) << name;
        EXPECT_THROW(tessera::any_image(tessera::image<RGB>(2, 2)).save(path), std::invalid_argument) << name;
        EXPECT_TRUE(slurp(path).empty()) << name << " was written";
    }
    rgb.save(scratch() + "/core.ppm");
    EXPECT_EQ(slurp(scratch() + "/core.ppm").substr(0, 2), "P6");
    rgb.save(scratch() + "/core-without-extension");
    EXPECT_EQ(slurp(scratch() + "/core-without-extension").substr(0, 2), "P6");
}

} // namespace
