// Pipelines from file to file: row by row they give the bytes of a whole load, the library's
// operations one after another and a save; and they are refused cleanly.
#include <tessera/geometry.h>
#include <tessera/imAdditions.h>
#include <tessera/io.h>
#include <tessera/io.hpp>

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string scratch() {
    static const std::string d = [] {
        char tmpl[] = "/tmp/tessera-pipe-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return d;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// A picture with every sample different enough that a wrong row or column shows.
AnyImageStruct *picture(uint16_t tag, int32_t w, int32_t h) {
    auto *im = static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, w, h, 0, 0, nullptr, 0, 0, nullptr));
    const int samples = tag == IMAGE_RGB || tag == IMAGE_RGB16 ? 3 : tag == IMAGE_RGBA ? 4 : 1;
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w * samples; ++x) {
            const unsigned v = static_cast<unsigned>(x * 37 + y * 101 + (x * y) % 17);
            if (tag == IMAGE_GRAY16 || tag == IMAGE_RGB16) static_cast<uint16_t *>(im->data[y])[x] = (v * 263) & 0xffff;
            else static_cast<uint8_t *>(im->data[y])[x] = v & 0xff;
        }
    return im;
}

// A TIFF of 8-bit RGB in strips of rows_per_strip rows, or in square tiles of tile pixels.
void write_tiff(const std::string &path, const AnyImageStruct *im, uint32_t rows_per_strip, uint32_t tile) {
    TIFF *t = TIFFOpen(path.c_str(), "w");
    const auto w = static_cast<uint32_t>(im->header->width), h = static_cast<uint32_t>(im->header->height);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    if (tile) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, tile);
        TIFFSetField(t, TIFFTAG_TILELENGTH, tile);
        std::vector<unsigned char> piece(static_cast<std::size_t>(tile) * tile * 3);
        for (uint32_t y0 = 0; y0 < h; y0 += tile)
            for (uint32_t x0 = 0; x0 < w; x0 += tile) {
                std::fill(piece.begin(), piece.end(), 0);
                for (uint32_t k = 0; k < tile && y0 + k < h; ++k)
                    std::memcpy(piece.data() + k * tile * 3, static_cast<const RGB *>(im->data[y0 + k]) + x0,
                                std::min(tile, w - x0) * 3);
                TIFFWriteTile(t, piece.data(), x0, y0, 0, 0);
            }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
        for (uint32_t y = 0; y < h; ++y) TIFFWriteScanline(t, im->data[y], y, 0);
    }
    TIFFClose(t);
}

// The steps done the whole way: a load, the library's operations and a save.
bool whole_way(const std::string &in, const std::string &out, const tessera_io_steps &s) {
    auto *im = static_cast<AnyImageStruct *>(tessera_io_load(in.c_str(), nullptr, nullptr));
    if (!im) return false;
    const auto then = [&](void *next) {
        im_Free_(im, im->header->tag);
        im = static_cast<AnyImageStruct *>(next);
        return im != nullptr;
    };
    if (s.crop_width &&
        !then(imCrop(im, s.crop_left, s.crop_top, s.crop_left + s.crop_width, s.crop_top + s.crop_height)))
        return false;
    im_SetOffset_(im, im->header, 0, 0);
    int32_t w = 0, h = 0;
    if ((s.width || s.height) &&
        (tessera_resize_size(im->header->width, im->header->height, s.width, s.height, &w, &h) != 0 ||
         !then(tessera_resize(im, w, h, s.filter))))
        return false;
    if (s.degrees && !then(tessera_rotate(im, s.degrees))) return false;
    if (s.mirror && !then(tessera_flip_horizontal(im))) return false;
    if (s.tag && s.tag != im->header->tag && !then(tessera_io_convert(im, s.tag, 0))) return false;
    const bool saved = tessera_io_save(im, out.c_str(), nullptr, nullptr) == 0;
    im_Free_(im, im->header->tag);
    return saved;
}

tessera_io_steps steps(int32_t cl, int32_t ct, int32_t cw, int32_t ch, int32_t w, int32_t h, int filter, int mirror = 0,
                       uint16_t tag = 0, int32_t degrees = 0) {
    tessera_io_steps s{};
    s.crop_left = cl, s.crop_top = ct, s.crop_width = cw, s.crop_height = ch;
    s.width = w, s.height = h, s.filter = filter, s.mirror = mirror, s.tag = tag, s.degrees = degrees;
    return s;
}

} // namespace

TEST(IoPipeline, RowByRowGivesTheWholeWaysBytesForEveryReaderFilterAndWriter) {
    const std::string d = scratch();
    struct Input {
        std::string name;
        uint16_t tag;
    };
    std::vector<Input> inputs;
    {
        // 97 x 61: no power of two, no multiple of the strips (7 rows) or tiles (16)
        AnyImageStruct *rgb = picture(IMAGE_RGB, 97, 61);
        for (const char *ext : {"png", "jpg", "pam", "bmp"}) {
            const std::string p = d + "/in." + ext;
            ASSERT_EQ(tessera_io_save(rgb, p.c_str(), nullptr, nullptr), 0) << tessera_io_last_error();
            inputs.push_back({p, IMAGE_RGB});
        }
        write_tiff(d + "/strips.tif", rgb, 7, 0);
        write_tiff(d + "/tiles.tif", rgb, 0, 16);
        inputs.push_back({d + "/strips.tif", IMAGE_RGB});
        inputs.push_back({d + "/tiles.tif", IMAGE_RGB});
        // 8-bit PPM and PGM and a PBM without a comment, as Netpbm's tools write them
        std::string ppm = "P6\n97 61\n255\n", pgm = "P5 97 61 255\n", pbm = "P4\n97 61\n";
        for (int32_t y = 0; y < 61; ++y) {
            ppm.append(static_cast<const char *>(rgb->data[y]), 97 * 3);
            std::string bits((97 + 7) / 8, '\0');
            for (int32_t x = 0; x < 97; ++x) {
                const auto green = static_cast<const unsigned char *>(rgb->data[y])[3 * x + 1];
                pgm += static_cast<char>(green);
                if (green < 128) bits[static_cast<std::size_t>(x / 8)] |= static_cast<char>(0x80 >> (x % 8));
            }
            pbm += bits;
        }
        // the BMP top-down: its height negative, its rows in the other order
        std::string bmp = slurp(d + "/in.bmp");
        const std::size_t data = static_cast<unsigned char>(bmp[10]) | static_cast<unsigned char>(bmp[11]) << 8,
                          stride = (97 * 3 + 3) / 4 * 4;
        std::string down = bmp.substr(0, data);
        for (int32_t k = 60; k >= 0; --k) down += bmp.substr(data + static_cast<std::size_t>(k) * stride, stride);
        const int32_t negative = -61;
        std::memcpy(&down[22], &negative, 4);
        std::ofstream(d + "/down.bmp", std::ios::binary) << down;
        inputs.push_back({d + "/down.bmp", IMAGE_RGB});
        std::ofstream(d + "/raw8.ppm", std::ios::binary) << ppm;
        std::ofstream(d + "/raw8.pgm", std::ios::binary) << pgm;
        inputs.push_back({d + "/raw8.ppm", IMAGE_RGB});
        inputs.push_back({d + "/raw8.pgm", IMAGE_GRAY});
        std::ofstream(d + "/raw.pbm", std::ios::binary) << pbm;
        inputs.push_back({d + "/raw.pbm", IMAGE_BINARY});
        im_Free_(rgb, IMAGE_RGB);
        for (uint16_t tag : {IMAGE_GRAY16, IMAGE_RGBA})
            for (const char *ext : tag == IMAGE_RGBA ? std::vector<const char *>{"png", "pam", "bmp"}
                                                     : std::vector<const char *>{"png", "pgm"}) {
                AnyImageStruct *im = picture(tag, 97, 61);
                const std::string p = d + "/in" + std::to_string(tag) + "." + ext;
                ASSERT_EQ(tessera_io_save(im, p.c_str(), nullptr, nullptr), 0) << tessera_io_last_error();
                inputs.push_back({p, tag});
                im_Free_(im, tag);
            }
    }
    const tessera_io_steps cases[] = {
        steps(5, 3, 80, 50, 40, 0, TESSERA_LANCZOS3),                   // crop and shrink
        steps(0, 0, 0, 0, 0, 150, TESSERA_BICUBIC, 1),                  // enlarge and mirror
        steps(11, 7, 31, 41, 0, 0, TESSERA_NEAREST),                    // crop alone
        steps(1, 1, 96, 60, 24, 15, TESSERA_BOX),                       // whole blocks
        steps(0, 0, 0, 0, 33, 9, TESSERA_BILINEAR, 0, IMAGE_GRAY),      // to gray
        steps(0, 0, 0, 0, 50, 31, TESSERA_NEAREST, 1, IMAGE_RGB),       // to RGB
        steps(5, 3, 80, 50, 40, 0, TESSERA_LANCZOS3, 0, 0, 90),         // crop, shrink, a quarter turn
        steps(0, 0, 0, 0, 0, 0, TESSERA_NEAREST, 1, 0, -90),            // turned back and mirrored
        steps(0, 0, 0, 0, 33, 9, TESSERA_BILINEAR, 0, IMAGE_GRAY, 180), // a half turn to gray
        steps(11, 7, 31, 41, 0, 0, TESSERA_NEAREST, 0, 0, 270),         // crop and turn anticlockwise
    };
    // under memcheck (a small scale) the writers that take rows only: the others make the result
    // whole from the same rows
    const bool small = std::getenv("TESSERA_TEST_SCALE") != nullptr;
    const std::vector<const char *> outputs =
        small ? std::vector<const char *>{"tif", "pam"} : std::vector<const char *>{"tif", "png", "jpg", "pam"};
    int compared = 0, limited = 0;
    for (const Input &in : inputs)
        for (const tessera_io_steps &s : cases)
            for (const char *ext : outputs) {
                const uint16_t result = s.tag ? s.tag : in.tag;
                if (!tessera_io_saves(tessera_io_format_of_path((std::string("x.") + ext).c_str()), result, 0))
                    continue;
                const std::string want = d + "/want." + ext, got = d + "/got." + ext;
                ASSERT_TRUE(whole_way(in.name, want, s)) << tessera_io_last_error();
                ASSERT_EQ(tessera_io_pipeline(in.name.c_str(), got.c_str(), nullptr, &s, nullptr, nullptr, nullptr), 0)
                    << in.name << " to " << ext << ": " << tessera_io_last_error();
                ASSERT_EQ(slurp(got), slurp(want)) << in.name << " to " << ext << " crop " << s.crop_width << " size "
                                                   << s.width << "x" << s.height << " filter " << s.filter;
                ++compared;
                // a budget the whole picture would pass is not needed: the picture is never whole
                if (s.height == 150 || (s.width == 50 && s.tag) || s.degrees == -90) continue;
                tessera_io_load_options o;
                tessera_io_load_defaults(&o);
                o.max_bytes = 97 * 61 * 3 / 2;
                ASSERT_EQ(tessera_io_pipeline(in.name.c_str(), got.c_str(), nullptr, &s, &o, nullptr, nullptr), 0)
                    << in.name << " to " << ext << ": " << tessera_io_last_error();
                ASSERT_EQ(slurp(got), slurp(want)) << in.name << " within the budget, to " << ext;
                ++limited;
            }
    EXPECT_GE(compared, 15 * 10 * (small ? 2 : 3));
    EXPECT_GE(limited, 15 * 7 * 2);
}

TEST(IoPipeline, TurnsAndReadersOfWholePicturesGiveTheSameResult) {
    const std::string d = scratch();
    AnyImageStruct *rgb = picture(IMAGE_RGB, 45, 29);
    for (const char *ext : {"bmp", "png", "ppm"}) {
        const std::string in = d + "/turn." + ext, want = d + "/turn-want.tif", got = d + "/turn-got.tif";
        ASSERT_EQ(tessera_io_save(rgb, in.c_str(), nullptr, nullptr), 0) << tessera_io_last_error();
        for (int32_t degrees : {0, 90, -90, 180}) {
            const tessera_io_steps s = steps(2, 3, 40, 20, 0, 33, TESSERA_BICUBIC, 1, 0, degrees);
            ASSERT_TRUE(whole_way(in, want, s)) << tessera_io_last_error();
            ASSERT_EQ(tessera_io_pipeline(in.c_str(), got.c_str(), nullptr, &s, nullptr, nullptr, nullptr), 0)
                << tessera_io_last_error();
            EXPECT_EQ(slurp(got), slurp(want)) << ext << " " << degrees;
        }
    }
    im_Free_(rgb, IMAGE_RGB);
}

TEST(IoPipeline, WrongStepsAndInputsFailWithAReasonAndLeaveNothing) {
    const std::string d = scratch();
    AnyImageStruct *rgb = picture(IMAGE_RGB, 30, 20);
    const std::string in = d + "/small.png", out = d + "/never.tif";
    ASSERT_EQ(tessera_io_save(rgb, in.c_str(), nullptr, nullptr), 0);
    im_Free_(rgb, IMAGE_RGB);
    const struct {
        tessera_io_steps s;
        const char *says;
    } wrong[] = {
        {steps(10, 10, 30, 5, 0, 0, 0), "does not lie inside"},
        {steps(0, 0, 0, 0, 10, 0, 99), "unknown filter"},
        {steps(0, 0, 0, 0, -4, 0, TESSERA_BOX), "resize"},
        {steps(0, 0, 0, 0, 0, 0, 0, 0, 0, 45), "degrees"},
        {steps(0, 0, 0, 0, 0, 0, 0, 2), "mirror"},
        {steps(0, 0, 0, 0, 0, 0, 0, 0, IMAGE_RGBA), "RGBA"}, // JPEG holds no alpha
    };
    for (const auto &w : wrong) {
        const std::string to = w.s.tag ? d + "/never.jpg" : out;
        EXPECT_EQ(tessera_io_pipeline(in.c_str(), to.c_str(), nullptr, &w.s, nullptr, nullptr, nullptr), -1);
        EXPECT_NE(std::strstr(tessera_io_last_error(), w.says), nullptr) << tessera_io_last_error();
        EXPECT_NE(access(to.c_str(), F_OK), 0) << w.says;
    }
    EXPECT_EQ(
        tessera_io_pipeline((d + "/missing.png").c_str(), out.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr),
        -1);
    EXPECT_EQ(tessera_io_pipeline(in.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    // a picture cut short fails the file made row by row, and leaves nothing
    const std::string whole = slurp(in), cut = d + "/cut.png";
    std::ofstream(cut, std::ios::binary) << whole.substr(0, whole.size() * 2 / 3);
    EXPECT_EQ(tessera_io_pipeline(cut.c_str(), out.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_NE(access(out.c_str(), F_OK), 0);
}

TEST(IoPipeline, TheCxxFaceRunsItAndThrowsWithTheReason) {
    const std::string d = scratch();
    AnyImageStruct *rgb = picture(IMAGE_RGB, 40, 30);
    const std::string in = d + "/face.png", want = d + "/face-want.tif", got = d + "/face-got.tif";
    ASSERT_EQ(tessera_io_save(rgb, in.c_str(), nullptr, nullptr), 0);
    im_Free_(rgb, IMAGE_RGB);
    const tessera::io::steps s = steps(0, 0, 0, 0, 20, 0, TESSERA_BILINEAR, 1);
    ASSERT_TRUE(whole_way(in, want, s));
    tessera::io::pipeline(in, got, s);
    EXPECT_EQ(slurp(got), slurp(want));
    EXPECT_FALSE(tessera::io::try_pipeline(d + "/missing.png", got, s));
    EXPECT_THROW(tessera::io::pipeline(d + "/missing.png", got, s), tessera::file_error);
}

// ---- pictures saved row by row ---------------------------------------------------------------

// Bytes of a pixel of the types these tests save.
std::size_t pixel_bytes(uint16_t tag) {
    switch (tag) {
    case IMAGE_RGB: return 3;
    case IMAGE_RGBA: return 4;
    case IMAGE_GRAY16: return 2;
    case IMAGE_RGB16: return 6;
    default: return 1;
    }
}

bool same_pixels(const AnyImageStruct *a, const AnyImageStruct *b) {
    const ImageHeader *h = a->header;
    if (h->tag != b->header->tag || h->width != b->header->width || h->height != b->header->height) return false;
    for (int32_t y = 0; y < h->height; ++y)
        if (std::memcmp(a->data[y], b->data[y], static_cast<std::size_t>(h->width) * pixel_bytes(h->tag)) != 0)
            return false;
    return true;
}

struct Source {
    const AnyImageStruct *im;
    int32_t fail_at = -1; // the row that fails
    bool with_reason = false;
    int32_t next = 0; // rows are asked for in order, once each
    bool in_order = true;
};

int source_row(void *context, int32_t y, void *row) {
    auto *s = static_cast<Source *>(context);
    s->in_order = s->in_order && y == s->next++;
    if (y == s->fail_at) {
        if (s->with_reason) tessera_io_probe("/nonexistent/tessera", nullptr, nullptr); // sets a reason
        return -1;
    }
    const ImageHeader *h = s->im->header;
    std::memcpy(row, s->im->data[y], static_cast<std::size_t>(h->width) * pixel_bytes(h->tag));
    return 0;
}

// Rows handed over one at a time make the file a save of the whole picture makes, in every
// format and type; TIFFs as wide as tiles are cut into are read back exactly, packed bits, 16
// bits and compression included. A row that fails fails the save and leaves nothing.
TEST(IoSaveRows, RowsGiveTheWholeSavesBytesAndAFailingRowLeavesNothing) {
    const std::string d = scratch();
    struct Case {
        uint16_t tag;
        int32_t w, h;
        const char *ext;
        int compression;
    } cases[] = {{IMAGE_RGB, 53, 37, "tif", -1},       {IMAGE_GRAY16, 53, 37, "tif", 6},
                 {IMAGE_RGB, 53, 37, "jpg", -1},       {IMAGE_RGBA, 53, 37, "pam", -1},
                 {IMAGE_RGB, 53, 37, "png", -1},       {IMAGE_GRAY, 53, 37, "bmp", -1},
                 {IMAGE_RGB, 16421, 21, "tif", -1},    {IMAGE_RGB16, 16421, 21, "tif", TESSERA_IO_LZW},
                 {IMAGE_BINARY, 16421, 300, "tif", 6}, {IMAGE_GRAY, 16421, 300, "tif", -1}};
    const bool small = std::getenv("TESSERA_TEST_SCALE") != nullptr; // under memcheck: fewer rows
    for (Case c : cases) {
        if (small && c.h > 100) c.h = 37; // one row of tiles, partly filled
        AnyImageStruct *im = picture(c.tag == IMAGE_BINARY ? IMAGE_GRAY : c.tag, c.w, c.h);
        if (c.tag == IMAGE_BINARY) { // a pattern of set pixels
            AnyImageStruct *bits =
                static_cast<AnyImageStruct *>(im_NewOrWrap_(IMAGE_BINARY, c.w, c.h, 0, 0, nullptr, 0, 0, nullptr));
            for (int32_t y = 0; y < c.h; ++y)
                for (int32_t x = 0; x < c.w; ++x)
                    static_cast<int8_t *>(bits->data[y])[x] = static_cast<uint8_t *>(im->data[y])[x] > 128;
            im_Free_(im, IMAGE_GRAY);
            im = bits;
        }
        tessera_io_save_options o;
        tessera_io_save_defaults(&o);
        o.compression = c.compression;
        const std::string want = d + "/whole." + c.ext, got = d + "/rows." + c.ext;
        ASSERT_EQ(tessera_io_save(im, want.c_str(), nullptr, &o), 0) << tessera_io_last_error();
        Source s{im};
        ASSERT_EQ(tessera_io_save_rows(got.c_str(), nullptr, c.tag, c.w, c.h, source_row, &s, &o), 0)
            << c.ext << " " << c.w << ": " << tessera_io_last_error();
        EXPECT_TRUE(s.in_order);
        EXPECT_EQ(s.next, c.h);
        EXPECT_EQ(slurp(got), slurp(want)) << c.ext << " " << c.w;
        if (c.w > 16384) { // tiles, read back as they were saved
            TIFF *t = TIFFOpen(got.c_str(), "r");
            ASSERT_NE(t, nullptr);
            EXPECT_TRUE(TIFFIsTiled(t));
            TIFFClose(t);
            AnyImageStruct *back = static_cast<AnyImageStruct *>(tessera_io_load(got.c_str(), nullptr, nullptr));
            ASSERT_NE(back, nullptr) << tessera_io_last_error();
            EXPECT_EQ(back->header->tag, c.tag);
            EXPECT_TRUE(same_pixels(back, im)) << c.w << " " << c.tag;
            im_Free_(back, back->header->tag);
        }
        for (const bool reason : {false, true}) { // a failing row: -1, the reason, nothing left
            const std::string never = d + "/never." + c.ext;
            Source failing{im, c.h / 2, reason};
            EXPECT_EQ(tessera_io_save_rows(never.c_str(), nullptr, c.tag, c.w, c.h, source_row, &failing, &o), -1);
            EXPECT_NE(std::strstr(tessera_io_last_error(), reason ? "cannot open" : "row reader failed"), nullptr)
                << tessera_io_last_error();
            EXPECT_NE(access(never.c_str(), F_OK), 0) << c.ext;
        }
        im_Free_(im, c.tag);
    }
    const std::string out = d + "/bad.tif";
    EXPECT_EQ(tessera_io_save_rows(out.c_str(), nullptr, IMAGE_RGB, 0, 5, source_row, nullptr, nullptr), -1);
    EXPECT_EQ(tessera_io_save_rows(out.c_str(), nullptr, IMAGE_RGB, 5, 5, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(tessera_io_save_rows(out.c_str(), nullptr, 999, 5, 5, source_row, nullptr, nullptr), -1);
    EXPECT_EQ(tessera_io_save_rows(nullptr, nullptr, IMAGE_RGB, 5, 5, source_row, nullptr, nullptr), -1);
    EXPECT_EQ(tessera_io_save_rows((d + "/x.jpg").c_str(), nullptr, IMAGE_DOUBLE, 5, 5, source_row, nullptr, nullptr),
              -1);
    EXPECT_NE(access(out.c_str(), F_OK), 0);
}
