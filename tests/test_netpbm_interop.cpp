// Interoperability with Debian's Netpbm tools: files tessera writes are read by Netpbm, and
// files Netpbm writes, with comments added wherever the format allows them, are read by tessera.
#include <tessera/image.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/images.h"
#include "support/test_support.h"

using namespace tessera::test;

namespace {

bool have_netpbm() {
    return std::system("command -v pnmtoplainpnm >/dev/null 2>&1 && command -v pnmtopnm >/dev/null 2>&1") == 0;
}

std::string run(const std::string &command) {
    FILE *p = popen(command.c_str(), "r");
    if (!p) return "";
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    return out;
}

// Samples of a plain Netpbm file ("P1", "P2" or "P3"), in file order.
std::vector<int> plain_samples(const std::string &text, std::string *magic) {
    std::istringstream in(text);
    in >> *magic;
    int w, h, max = 1;
    in >> w >> h;
    if (*magic != "P1") in >> max;
    std::vector<int> samples;
    if (*magic == "P1") {
        for (char c; in >> c;)
            if (c == '0' || c == '1') samples.push_back(c - '0');
    } else {
        for (int v; in >> v;) samples.push_back(v);
    }
    return samples;
}

int channels(uint16_t tag) { return tag == IMAGE_RGB ? 3 : 1; }

int expected_sample(uint16_t tag, int x, int y, int c) {
    if (tag == IMAGE_BINARY) return (x * 3 + y * 5) % 7 < 3;
    return (x * 37 + y * 11 + c * 101) % 256;
}

void *make_image(uint16_t tag, int w, int h) {
    void *im = im_NewOrWrap_(tag, w, h, 0, 0, nullptr, 0, 0, nullptr);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels(tag); ++c)
                tessera::detail::pixel_at(im, x, y, static_cast<std::size_t>(channels(tag)))[c] =
                    static_cast<unsigned char>(expected_sample(tag, x, y, c));
    return im;
}

std::string plain_file(uint16_t tag, int w, int h) {
    std::ostringstream out;
    out << (tag == IMAGE_BINARY ? "P1" : tag == IMAGE_GRAY ? "P2" : "P3") << "\n" << w << " " << h << "\n";
    if (tag != IMAGE_BINARY) out << "255\n";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels(tag); ++c) out << expected_sample(tag, x, y, c) << "\n";
    return out.str();
}

// Rewrites a raw Netpbm header with a comment in every place the format allows one.
std::string with_comments(const std::string &raw, uint16_t tag) {
    std::istringstream in(raw);
    std::string magic;
    int w, h, max = 0;
    in >> magic >> w >> h;
    if (tag != IMAGE_BINARY) in >> max;
    in.get(); // the single white-space character before the raster
    const std::string raster = raw.substr(static_cast<std::size_t>(in.tellg()));
    std::ostringstream out;
    out << magic << "# after the magic\n" << w << "\n# between\n# the sizes\n" << h;
    if (tag != IMAGE_BINARY) out << " # before the maximum\n" << max;
    out << "\n# before the raster\n";
    // The last field is ended by the newline above; the comment lines follow as white space.
    std::string header = out.str();
    header.erase(header.size() - std::string("# before the raster\n").size());
    return header + raster;
}

const int widths[] = {1, 7, 8, 9, 12, 15, 1001};

} // namespace

TEST(NetpbmInterop, NetpbmReadsWhatTesseraWrites) {
    if (!have_netpbm()) GTEST_SKIP() << "Netpbm tools are not installed";
    for (uint16_t tag : {IMAGE_GRAY, IMAGE_RGB, IMAGE_BINARY}) {
        for (int w : widths) {
            const int h = 3;
            Image im(make_image(tag, w, h));
            im.h()->comment = strMake("written by tessera\nsecond line");
            TempFile f;
            ASSERT_EQ(im_Save_(im.im, im.h(), f.path()), 0);
            std::string magic;
            const auto samples = plain_samples(run(std::string("pnmtoplainpnm ") + f.path() + " 2>&1"), &magic);
            ASSERT_EQ(samples.size(), static_cast<std::size_t>(w * h * channels(tag))) << tag << " width " << w;
            std::size_t i = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < channels(tag); ++c, ++i)
                        ASSERT_EQ(samples[i], expected_sample(tag, x, y, c)) << tag << " at " << x << "," << y;
        }
    }
}

TEST(NetpbmInterop, TesseraReadsWhatNetpbmWritesWithComments) {
    if (!have_netpbm()) GTEST_SKIP() << "Netpbm tools are not installed";
    for (uint16_t tag : {IMAGE_GRAY, IMAGE_RGB, IMAGE_BINARY}) {
        for (int w : widths) {
            const int h = 4;
            TempFile plain(plain_file(tag, w, h));
            const std::string raw = run(std::string("pnmtopnm ") + plain.path());
            ASSERT_FALSE(raw.empty());
            TempFile commented(with_comments(raw, tag));
            // Netpbm itself accepts the commented file and sees the same pixels.
            ASSERT_EQ(run(std::string("pnmtopnm ") + commented.path()), raw) << tag << " width " << w;
            {
                Image im(im_Load(tag, commented.path()));
                ASSERT_NE(im.im, nullptr) << tag << " width " << w;
                EXPECT_EQ(im.h()->width, w);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        for (int c = 0; c < channels(tag); ++c)
                            ASSERT_EQ(
                                tessera::detail::pixel_at(im.im, x, y, static_cast<std::size_t>(channels(tag)))[c],
                                expected_sample(tag, x, y, c));
                const std::string comment = strGet(im.h()->comment);
                EXPECT_NE(comment.find("after the magic"), std::string::npos);
                EXPECT_NE(comment.find("the sizes"), std::string::npos);
            }
        }
    }
}
