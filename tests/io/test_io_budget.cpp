// Budgets and hostile files: loads and results held to their budget in bytes, progressive JPEGs
// to their scans' work, decoders' own buffers to as much again; TIFF samples decoded as the file
// says (signed, 32-bit) or refused; damaged colour maps and libtiff's errors fail the load.
#include <tessera/geometry.h>
#include <tessera/imAdditions.h>
#include <tessera/image.hpp>
#include <tessera/io.hpp>
#include <tessera/ptl.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <tiffio.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string scratch_file(const char *name) {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/tessera-budget-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir + "/" + name;
}

Bytes slurp(const std::string &path) {
    Bytes bytes;
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        unsigned char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
        std::fclose(f);
    }
    return bytes;
}

tessera_io_load_options options(uint64_t max_bytes = 0, int depth = TESSERA_IO_REDUCE) {
    tessera_io_load_options o;
    tessera_io_load_defaults(&o);
    o.max_bytes = max_bytes;
    o.depth = depth;
    return o;
}

bool said(const char *text) { return std::strstr(tessera_io_last_error(), text) != nullptr; }

// Loads from a pipe: a writer thread of a child process feeds the bytes.
void *load_from_pipe(const Bytes &bytes, const tessera_io_load_options &o) {
    int fds[2];
    if (pipe(fds) != 0) return nullptr;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fds[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    FILE *in = fdopen(fds[0], "rb");
    void *im = tessera_io_load_file(in, &o, nullptr);
    std::fclose(in);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return im;
}

// The peak resident memory, in bytes, of a child process that runs work.
long long peak_of(const std::function<void()> &work) {
    const pid_t child = fork();
    if (child == 0) {
        work();
        _exit(0);
    }
    int status = 0;
    rusage use{};
    wait4(child, &status, 0, &use);
    return WIFEXITED(status) ? static_cast<long long>(use.ru_maxrss) * 1024 : -1;
}

// ---- progressive JPEGs ----------------------------------------------------------------------------

// A progressive gray JPEG of w x h (gray level v) with the longest scan script libjpeg writes:
// the DC scan, then for each AC coefficient a first scan at the lowest precision it allows and a
// refinement for every bit (694 scans).
Bytes scan_bomb(int w, int h, unsigned char v) {
    std::vector<jpeg_scan_info> scans;
    scans.push_back(jpeg_scan_info{1, {0, 0, 0, 0}, 0, 0, 0, 0});
    for (int k = 1; k < 64; ++k) {
        scans.push_back(jpeg_scan_info{1, {0, 0, 0, 0}, k, k, 0, 10});
        for (int al = 9; al >= 0; --al) scans.push_back(jpeg_scan_info{1, {0, 0, 0, 0}, k, k, al + 1, al});
    }
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(w);
    c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    c.scan_info = scans.data();
    c.num_scans = static_cast<int>(scans.size());
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(w), v);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    Bytes bytes(out, out + size);
    std::free(out);
    jpeg_destroy_compress(&c);
    return bytes;
}

// The frame header's sizes set to w x h: the scans stay those of the small image.
void claim_size(Bytes &jpeg, unsigned w, unsigned h) {
    for (std::size_t i = 2; i + 8 < jpeg.size(); ++i)
        if (jpeg[i] == 0xff && jpeg[i + 1] >= 0xc0 && jpeg[i + 1] <= 0xc2) {
            jpeg[i + 5] = static_cast<unsigned char>(h >> 8), jpeg[i + 6] = static_cast<unsigned char>(h);
            jpeg[i + 7] = static_cast<unsigned char>(w >> 8), jpeg[i + 8] = static_cast<unsigned char>(w);
            return;
        }
}

TEST(IoBudgetJpeg, AScanBombIsRefusedFromItsMarkersBeforeAnyScanIsDecoded) {
    // 694 scans claiming 16384 x 16384: four million blocks a scan, 2.9 billion block visits.
    Bytes bomb = scan_bomb(16, 16, 90);
    claim_size(bomb, 16384, 16384);
    for (int source = 0; source < 2; ++source) {
        void *im = nullptr;
        if (source == 0) {
            im = tessera_io_load_memory(bomb.data(), bomb.size(), nullptr, nullptr);
        } else {
            const std::string path = scratch_file("bomb.jpg");
            std::FILE *f = std::fopen(path.c_str(), "wb");
            std::fwrite(bomb.data(), 1, bomb.size(), f);
            std::fclose(f);
            im = tessera_io_load(path.c_str(), nullptr, nullptr);
        }
        EXPECT_EQ(im, nullptr);
        EXPECT_TRUE(said("694 scans") && said("coefficient visits")) << tessera_io_last_error();
    }
}

TEST(IoBudgetJpeg, ScansFromAPipeAreCountedAsTheyArriveAndWorkThatFitsIsDone) {
    const Bytes many = scan_bomb(256, 256, 77); // 1,024 blocks a scan
    // 694 scans x 1,024 blocks x 64 = 45 million visits: within the default budget, decoded whole.
    for (int source = 0; source < 2; ++source) {
        const tessera_io_load_options o = options();
        void *im =
            source == 0 ? tessera_io_load_memory(many.data(), many.size(), &o, nullptr) : load_from_pipe(many, o);
        ASSERT_NE(im, nullptr) << tessera_io_last_error();
        auto *g = static_cast<GrayImageStruct *>(im);
        EXPECT_EQ(g->data[100][100], 77);
        im_Free_(im, IMAGE_GRAY);
    }
    // A budget of 512 KiB allows 4 million visits: 64 scans of this image. From memory the file
    // is refused before decoding, from a pipe once the scans pass that.
    const tessera_io_load_options small = options(512 << 10);
    EXPECT_EQ(tessera_io_load_memory(many.data(), many.size(), &small, nullptr), nullptr);
    EXPECT_TRUE(said("coefficient visits")) << tessera_io_last_error();
    EXPECT_EQ(load_from_pipe(many, small), nullptr);
    EXPECT_TRUE(said("coefficient visits")) << tessera_io_last_error();
}

// ---- TIFF ------------------------------------------------------------------------------------------

struct TiffSpec {
    uint32_t w = 8, h = 4;
    uint16_t bits = 8, spp = 1, format = SAMPLEFORMAT_UINT, photometric = PHOTOMETRIC_MINISBLACK;
    uint32_t tile = 0;           // tile side; 0: strips
    uint32_t rows_per_strip = 0; // 0: the whole image
    uint16_t compression = COMPRESSION_NONE;
    bool palette_map = true;
};

// A TIFF written by libtiff, whose sample (x, y, c) is sample(x, y, c) stored in the file's type.
Bytes tiff_of(const TiffSpec &s, const std::function<double(uint32_t, uint32_t, uint16_t)> &sample) {
    const std::string path = scratch_file("made.tif");
    TIFF *t = TIFFOpen(path.c_str(), "w");
    if (!t) return {};
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.spp);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, s.format);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, s.compression);
    if ((s.spp == 2 || s.spp == 4) && s.photometric != PHOTOMETRIC_SEPARATED) {
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (s.photometric == PHOTOMETRIC_PALETTE && s.palette_map) {
        std::vector<uint16_t> r(1u << s.bits), g(1u << s.bits), b(1u << s.bits);
        for (std::size_t i = 0; i < r.size(); ++i)
            r[i] = static_cast<uint16_t>(i * 257 % 65536), g[i] = static_cast<uint16_t>(65535 - i * 257 % 65536),
            b[i] = static_cast<uint16_t>(i % 2 ? 65535 : 0);
        TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    }
    const std::size_t bytes = s.bits / 8;
    auto store = [&](unsigned char *p, double v) {
        if (s.format == SAMPLEFORMAT_IEEEFP) {
            const auto f = static_cast<float>(v);
            std::memcpy(p, &f, 4);
        } else if (s.format == SAMPLEFORMAT_INT) {
            const auto i = static_cast<int64_t>(v);
            if (bytes == 1) *p = static_cast<unsigned char>(static_cast<int8_t>(i));
            else if (bytes == 2) {
                const auto k = static_cast<int16_t>(i);
                std::memcpy(p, &k, 2);
            } else {
                const auto k = static_cast<int32_t>(i);
                std::memcpy(p, &k, 4);
            }
        } else {
            const auto u = static_cast<uint64_t>(v);
            if (bytes == 1) *p = static_cast<unsigned char>(u);
            else if (bytes == 2) {
                const auto k = static_cast<uint16_t>(u);
                std::memcpy(p, &k, 2);
            } else {
                const auto k = static_cast<uint32_t>(u);
                std::memcpy(p, &k, 4);
            }
        }
    };
    bool ok = true;
    if (s.tile) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, s.tile);
        TIFFSetField(t, TIFFTAG_TILELENGTH, s.tile);
        std::vector<unsigned char> tile(static_cast<std::size_t>(TIFFTileSize(t)));
        for (uint32_t y0 = 0; y0 < s.h; y0 += s.tile)
            for (uint32_t x0 = 0; x0 < s.w; x0 += s.tile) {
                std::fill(tile.begin(), tile.end(), 0);
                for (uint32_t y = 0; y < s.tile && y0 + y < s.h; ++y)
                    for (uint32_t x = 0; x < s.tile && x0 + x < s.w; ++x)
                        for (uint16_t c = 0; c < s.spp; ++c)
                            store(&tile[((y * s.tile + x) * s.spp + c) * bytes], sample(x0 + x, y0 + y, c));
                ok = ok && TIFFWriteTile(t, tile.data(), x0, y0, 0, 0) >= 0;
            }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, s.rows_per_strip ? s.rows_per_strip : s.h);
        std::vector<unsigned char> row(static_cast<std::size_t>(TIFFScanlineSize(t)));
        for (uint32_t y = 0; y < s.h; ++y) {
            for (uint32_t x = 0; x < s.w; ++x)
                for (uint16_t c = 0; c < s.spp; ++c) store(&row[(x * s.spp + c) * bytes], sample(x, y, c));
            ok = ok && TIFFWriteScanline(t, row.data(), y, 0) >= 0;
        }
    }
    TIFFClose(t);
    return ok ? slurp(path) : Bytes{};
}

TEST(IoTiffSamples, SignedAnd32BitSamplesKeepTheirValues) {
    struct Case {
        uint16_t bits, format, tag;
        double lo, hi;
    } cases[] = {
        {8, SAMPLEFORMAT_INT, IMAGE_SHORT, -128, 127},
        {16, SAMPLEFORMAT_INT, IMAGE_SHORT, -32768, 32767},
        {32, SAMPLEFORMAT_INT, IMAGE_INT, -2147483648.0, 2147483647.0},
        {32, SAMPLEFORMAT_UINT, IMAGE_DOUBLE, 0, 4294967295.0},
    };
    // Values across the whole range, the ends and the ones the red team met (2^31, 1,000,000, -1).
    const auto value = [](const Case &c, uint32_t x, uint32_t y) {
        const double picks[] = {c.lo, c.hi, -1, 0, 1, 1000000, 2147483648.0, 255, 256, -129};
        double v = picks[(x + y * 8) % 10];
        if (v < c.lo || v > c.hi) v = c.lo + (c.hi - c.lo) * (x % 8 + 1) / 9;
        return std::floor(v);
    };
    for (const Case &c : cases)
        for (int layout = 0; layout < 2; ++layout) {
            TiffSpec s;
            s.bits = c.bits, s.format = c.format, s.w = 16, s.h = 16;
            if (layout == 1) s.tile = 16, s.compression = COMPRESSION_ADOBE_DEFLATE;
            const Bytes file = tiff_of(s, [&](uint32_t x, uint32_t y, uint16_t) { return value(c, x, y); });
            ASSERT_FALSE(file.empty());
            for (int depth : {TESSERA_IO_KEEP, TESSERA_IO_RAW}) {
                const tessera_io_load_options o = options(0, depth);
                tessera_io_info info{};
                void *im = tessera_io_load_memory(file.data(), file.size(), &o, &info);
                ASSERT_NE(im, nullptr) << c.bits << " " << c.format << ": " << tessera_io_last_error();
                auto *any = static_cast<AnyImageStruct *>(im);
                EXPECT_EQ(any->header->tag, c.tag);
                EXPECT_EQ(info.bits, c.bits);
                int wrong = 0;
                for (uint32_t y = 0; y < s.h; ++y)
                    for (uint32_t x = 0; x < s.w; ++x) {
                        const void *row = any->data[y];
                        const double got = c.tag == IMAGE_SHORT ? static_cast<const int16_t *>(row)[x]
                                           : c.tag == IMAGE_INT ? static_cast<const int32_t *>(row)[x]
                                                                : static_cast<const double *>(row)[x];
                        if (got != value(c, x, y) && wrong++ < 3)
                            ADD_FAILURE() << c.bits << "-bit format " << c.format << " at (" << x << ", " << y
                                          << "): " << got << " instead of " << value(c, x, y);
                    }
                im_Free_(im, any->header->tag);
            }
            // Reduced: the whole range onto 0..255, the lowest value black and the highest white.
            const tessera_io_load_options reduce = options();
            auto *g =
                static_cast<GrayImageStruct *>(tessera_io_load_memory(file.data(), file.size(), &reduce, nullptr));
            ASSERT_NE(g, nullptr) << tessera_io_last_error();
            EXPECT_EQ(g->header->tag, IMAGE_GRAY);
            EXPECT_EQ(g->data[0][0], 0);   // picks[0]: the lowest
            EXPECT_EQ(g->data[0][1], 255); // picks[1]: the highest
            im_Free_(g, IMAGE_GRAY);
        }
}

TEST(IoTiffSamples, LayoutsNoImageHoldsAreRefusedWithAReason) {
    struct Case {
        TiffSpec s;
        const char *why;
    } cases[] = {
        {{8, 4, 16, 3, SAMPLEFORMAT_INT, PHOTOMETRIC_RGB}, "signed"},
        {{8, 4, 32, 3, SAMPLEFORMAT_UINT, PHOTOMETRIC_RGB}, "more than 16 bits"},
        {{8, 4, 64, 1, SAMPLEFORMAT_IEEEFP, PHOTOMETRIC_MINISBLACK}, "floating-point"},
    };
    for (const Case &c : cases) {
        const Bytes file = tiff_of(c.s, [](uint32_t x, uint32_t, uint16_t) { return x; });
        ASSERT_FALSE(file.empty());
        EXPECT_EQ(tessera_io_load_memory(file.data(), file.size(), nullptr, nullptr), nullptr) << c.why;
        EXPECT_TRUE(said(c.why)) << tessera_io_last_error();
    }
}

TEST(IoTiffSamples, PaletteFilesReadBandByBandAndDamagedColourMapsAreRefused) {
    TiffSpec s;
    s.photometric = PHOTOMETRIC_PALETTE, s.w = 40, s.h = 30, s.rows_per_strip = 7;
    const auto index = [](uint32_t x, uint32_t y, uint16_t) { return (x * 3 + y * 5) % 256; };
    for (int layout = 0; layout < 2; ++layout) {
        if (layout == 1) s.tile = 16, s.compression = COMPRESSION_LZW;
        const Bytes file = tiff_of(s, index);
        auto *im = static_cast<RGBImageStruct *>(tessera_io_load_memory(file.data(), file.size(), nullptr, nullptr));
        ASSERT_NE(im, nullptr) << tessera_io_last_error();
        int wrong = 0;
        for (uint32_t y = 0; y < s.h; ++y)
            for (uint32_t x = 0; x < s.w; ++x) {
                const unsigned i = static_cast<unsigned>(index(x, y, 0));
                const RGB want{static_cast<uint8_t>(i * 257 % 65536 >> 8),
                               static_cast<uint8_t>((65535 - i * 257 % 65536) >> 8),
                               static_cast<uint8_t>(i % 2 ? 255 : 0)};
                const RGB got = im->data[y][x];
                if ((got.r != want.r || got.g != want.g || got.b != want.b) && wrong++ < 3)
                    ADD_FAILURE() << "layout " << layout << " (" << x << ", " << y << ")";
            }
        im_Free_(im, IMAGE_RGB);
    }
    // CMYK goes through libtiff's RGBA interface a band at a time: strips of 7 rows, tiles of 16.
    TiffSpec k;
    k.photometric = PHOTOMETRIC_SEPARATED, k.spp = 4, k.w = 40, k.h = 30, k.rows_per_strip = 7;
    const auto ink = [](uint32_t x, uint32_t y, uint16_t c) { return (x * 7 + y * 11 + c * 60) % 256; };
    for (int layout = 0; layout < 2; ++layout) {
        if (layout == 1) k.tile = 16;
        const Bytes file = tiff_of(k, ink);
        auto *im = static_cast<RGBImageStruct *>(tessera_io_load_memory(file.data(), file.size(), nullptr, nullptr));
        ASSERT_NE(im, nullptr) << tessera_io_last_error();
        int wrong = 0;
        for (uint32_t y = 0; y < k.h; ++y)
            for (uint32_t x = 0; x < k.w; ++x) {
                const unsigned white = 255 - static_cast<unsigned>(ink(x, y, 3));
                const auto channel = [&](uint16_t c) {
                    return static_cast<uint8_t>(white * (255 - static_cast<unsigned>(ink(x, y, c))) / 255);
                };
                const RGB got = im->data[y][x];
                if ((got.r != channel(0) || got.g != channel(1) || got.b != channel(2)) && wrong++ < 3)
                    ADD_FAILURE() << "CMYK layout " << layout << " (" << x << ", " << y << ")";
            }
        im_Free_(im, IMAGE_RGB);
    }
    // No colour map at all, and one whose entries lie past the end of the file.
    s.tile = 0, s.compression = COMPRESSION_NONE;
    s.palette_map = false;
    const Bytes none = tiff_of(s, index);
    ASSERT_FALSE(none.empty());
    EXPECT_EQ(tessera_io_load_memory(none.data(), none.size(), nullptr, nullptr), nullptr);
    EXPECT_TRUE(said("colour map") || said("Colormap")) << tessera_io_last_error();
    s.palette_map = true;
    Bytes cut = tiff_of(s, index);
    // The ColorMap entry (tag 320, type SHORT): its offset moved past the file's end.
    bool found = false;
    const uint32_t ifd = cut[4] | cut[5] << 8 | cut[6] << 16 | static_cast<uint32_t>(cut[7]) << 24;
    const unsigned entries = cut[ifd] | cut[ifd + 1] << 8;
    for (unsigned e = 0; e < entries; ++e) {
        unsigned char *p = &cut[ifd + 2 + 12 * e];
        if ((p[0] | p[1] << 8) == 320) {
            p[8] = p[9] = p[10] = 0xf0, p[11] = 0x0f;
            found = true;
        }
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(tessera_io_load_memory(cut.data(), cut.size(), nullptr, nullptr), nullptr);
    EXPECT_FALSE(std::string(tessera_io_last_error()).empty());
}

TEST(IoBudgetTiff, DecodersBuffersAreHeldToTheBudget) {
    // One 2048 x 2048 tile of 16-bit RGBA: 32 MiB of tile and as much of band beside an 12 MiB
    // RGB image. Refused under a budget of 48 MiB, read under 128 MiB.
    TiffSpec s;
    s.w = s.h = s.tile = 2048, s.bits = 16, s.spp = 4, s.photometric = PHOTOMETRIC_RGB;
    s.compression = COMPRESSION_ADOBE_DEFLATE;
    const Bytes file = tiff_of(s, [](uint32_t, uint32_t, uint16_t c) { return c == 3 ? 65535 : 4112; });
    ASSERT_FALSE(file.empty());
    tessera_io_load_options o = options(48u << 20);
    EXPECT_EQ(tessera_io_load_memory(file.data(), file.size(), &o, nullptr), nullptr);
    EXPECT_TRUE(said("beside it")) << tessera_io_last_error();
    o.max_bytes = 128u << 20;
    auto *im = static_cast<RGBImageStruct *>(tessera_io_load_memory(file.data(), file.size(), &o, nullptr));
    ASSERT_NE(im, nullptr) << tessera_io_last_error();
    EXPECT_EQ(im->data[2047][2047].g, 16);
    im_Free_(im, IMAGE_RGB);
    // From a pipe, the file is gathered only up to the budget: 32 MiB of file against 16 MiB.
    s.compression = COMPRESSION_NONE;
    const Bytes plain = tiff_of(s, [](uint32_t, uint32_t, uint16_t c) { return c == 3 ? 65535 : 4112; });
    o.max_bytes = 16u << 20;
    EXPECT_EQ(load_from_pipe(plain, o), nullptr);
    EXPECT_TRUE(said("longer than")) << tessera_io_last_error();
}

// The red team's 2 MB files, at 8192 x 8192: peak memory within three times the result.
TEST(IoBudgetMemory, SixteenBitRgbaZerosCostAFewTimesTheirResult) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "memory is measured without the sanitizers' own";
#endif
    const long long base = peak_of([] {});
    TiffSpec s;
    s.w = s.h = 8192, s.bits = 16, s.spp = 4, s.photometric = PHOTOMETRIC_RGB, s.rows_per_strip = 64;
    s.compression = COMPRESSION_ADOBE_DEFLATE;
    const Bytes tiff = tiff_of(s, [](uint32_t, uint32_t, uint16_t) { return 0; });
    TiffSpec p = s;
    p.bits = 8, p.spp = 1, p.photometric = PHOTOMETRIC_PALETTE, p.rows_per_strip = 8192; // one strip
    const Bytes palette = tiff_of(p, [](uint32_t, uint32_t, uint16_t) { return 0; });
    ASSERT_FALSE(tiff.empty());
    ASSERT_FALSE(palette.empty());
    const long long result = 8192LL * 8192 * 3; // both load as RGB
    for (const Bytes *file : {&tiff, &palette}) {
        const long long peak = peak_of([&] {
            void *im = tessera_io_load_memory(file->data(), file->size(), nullptr, nullptr);
            if (!im) _exit(3);
            im_Free_(im, IMAGE_RGB);
        });
        ASSERT_GT(peak, 0) << tessera_io_last_error();
        EXPECT_LT(peak - base, 3 * result) << (file == &tiff ? "16-bit RGBA" : "palette") << ": peak " << peak;
    }
    // Kept, the 16-bit file would be three floats a pixel: 768 MiB, over a budget of 512 MiB.
    const long long refused = peak_of([&] {
        const tessera_io_load_options keep = options(512u << 20, TESSERA_IO_KEEP);
        if (tessera_io_load_memory(tiff.data(), tiff.size(), &keep, nullptr)) _exit(3);
    });
    ASSERT_GT(refused, 0);
    EXPECT_LT(refused - base, 64LL << 20);
}

// ---- results -------------------------------------------------------------------------------------

TEST(IoBudgetResults, ResultsOverTheBudgetAreRefusedBeforeAllocating) {
    const uint64_t before = tessera_set_budget(1 << 20); // 1 MiB
    tessera::any_image tiny(IMAGE_GRAY, 2, 2, 0, 0);
    tessera::any_image doubles(IMAGE_DOUBLE, 2, 2, 0, 0);
    AnyImageStruct *g = tiny.get(), *d = doubles.get();
    struct Case {
        const char *what;
        void *made;
    } cases[] = {
        {"imScale", imScale(g, 2000, 2000)},
        {"imBorders", imBorders(d, 300)},
        {"im_Crop_ past the source", im_Crop_(g, g->header, -1000, -1000, 2000, 2000)},
        {"tessera_resize", tessera_resize(d, 400, 400, TESSERA_BILINEAR)},
        {"ptlRender",
         [] {
             PointList pl = ptlNew(true, 0, 0, 10, 10, nullptr);
             void *im = ptlRender(pl, IMAGE_RGB, 200.0f, 200.0f, RGB{0, 0, 0}, nullptr);
             ptlFree(pl);
             return im;
         }()},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.made, nullptr) << c.what;
        if (c.made) im_Free_(c.made, static_cast<AnyImageStruct *>(c.made)->header->tag);
    }
    EXPECT_NE(std::strstr(tessera_last_error(), "more than the budget of 1048576 bytes"), nullptr)
        << tessera_last_error();
    // Under the budget they are made, and crops within the source never count against it.
    AnyImageStruct *fits = imScale(g, 500, 500);
    EXPECT_NE(fits, nullptr);
    if (fits) im_Free_(fits, IMAGE_GRAY);
    tessera::any_image big(IMAGE_GRAY, 2000, 1000, 0, 0);
    AnyImageStruct *crop = imCrop(big.get(), 0, 0, 2000, 1000);
    EXPECT_NE(crop, nullptr);
    if (crop) im_Free_(crop, IMAGE_GRAY);
    // The C++ face reports it as tessera::error; conversions to a wider type count too.
    EXPECT_THROW((void)tessera::image<uint8_t>(1000, 1000).resize(2000, 2000), tessera::error);
    EXPECT_EQ(tessera_io_convert(big.get(), IMAGE_DOUBLE, 0), nullptr);
    EXPECT_TRUE(said("more than the budget")) << tessera_io_last_error();
    EXPECT_EQ(tessera_budget(), 1u << 20);
    EXPECT_EQ(tessera_set_budget(0), 1u << 20);
    EXPECT_EQ(tessera_budget(), TESSERA_DEFAULT_BUDGET);
    tessera_set_budget(before);
}

TEST(IoBudgetResults, NullOptionsAreRefusedLikeEveryOtherNull) {
    tessera_io_load_defaults(nullptr);
    EXPECT_TRUE(said("no options"));
    tessera_io_save_defaults(nullptr);
    EXPECT_TRUE(said("no options"));
}

} // namespace
