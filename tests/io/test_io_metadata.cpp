// The ICC profile, EXIF and XMP that travel with an image from file to file.
#include <tessera/io.hpp>

#include <gtest/gtest.h>
#include <lcms2.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

void put32(bytes &b, std::size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<unsigned char>(v >> (24 - 8 * k));
}

// A small profile whose header is what a reader checks (size, 'acsp', colour space, D50), with
// bytes after it that must come back as they were.
bytes profile(const char *space) {
    bytes b(132 + 40);
    put32(b, 0, static_cast<uint32_t>(b.size()));
    put32(b, 8, 0x02100000);
    std::memcpy(&b[12], "mntr", 4);
    std::memcpy(&b[16], space, 4);
    std::memcpy(&b[20], "XYZ ", 4);
    std::memcpy(&b[36], "acsp", 4);
    put32(b, 68, 0x0000f6d6), put32(b, 72, 0x00010000), put32(b, 76, 0x0000d32d);
    for (std::size_t i = 132; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 13);
    return b;
}

// Display P3 (DCI-P3 primaries, D65, sRGB's curve) as Little CMS makes it.
bytes display_p3() {
    const cmsCIExyY white = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
    const cmsFloat64Number p[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve *curve = cmsBuildParametricToneCurve(nullptr, 4, p);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number n = 0;
    cmsSaveProfileToMem(profile, nullptr, &n);
    bytes b(n);
    cmsSaveProfileToMem(profile, b.data(), &n);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return b;
}

// EXIF of one directory: the orientation, then a maker's name held past the entries.
bytes exif(int orientation) {
    bytes b = {'I',
               'I',
               42,
               0,
               8,
               0,
               0,
               0,
               2,
               0,
               0x12,
               0x01,
               3,
               0,
               1,
               0,
               0,
               0,
               static_cast<unsigned char>(orientation),
               0,
               0,
               0,
               0x0f,
               0x01,
               2,
               0,
               8,
               0,
               0,
               0,
               38,
               0,
               0,
               0,
               0,
               0,
               0,
               0,
               'T',
               'e',
               's',
               's',
               'e',
               'r',
               'a',
               0};
    return b;
}

const std::string xmp_text = "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
                             "<rdf:RDF/></x:xmpmeta><?xpacket end='w'?>";

void set(void *&to, std::size_t &size, const void *from, std::size_t n) {
    std::free(to);
    to = std::malloc(n);
    std::memcpy(to, from, n);
    size = n;
}

tessera::io::metadata made(const bytes &icc, const bytes &ex, const std::string &xmp) {
    tessera::io::metadata m;
    tessera_io_metadata *c = m.get();
    if (!icc.empty()) set(c->icc, c->icc_size, icc.data(), icc.size());
    if (!ex.empty()) set(c->exif, c->exif_size, ex.data(), ex.size());
    if (!xmp.empty()) set(c->xmp, c->xmp_size, xmp.data(), xmp.size());
    return m;
}

bytes of(std::span<const unsigned char> s) { return bytes(s.begin(), s.end()); }

tessera::any_image colours() {
    tessera::image<RGB> im(9, 5);
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 9; ++x)
            im.at(x, y) = RGB{static_cast<uint8_t>(x * 28), static_cast<uint8_t>(y * 60), static_cast<uint8_t>(x * y)};
    return tessera::any_image(std::move(im));
}

bytes srgb() {
    cmsHPROFILE p = cmsCreate_sRGBProfile();
    cmsUInt32Number n = 0;
    cmsSaveProfileToMem(p, nullptr, &n);
    bytes b(n);
    cmsSaveProfileToMem(p, b.data(), &n);
    cmsCloseProfile(p);
    return b;
}

TEST(IoMetadata, ProfileExifAndXmpSurvivePngJpegTiffAndWebpByteForByte) {
    for (const bytes &icc : {profile("RGB "), srgb(), display_p3()}) {
        const bytes ex = exif(1);
        tessera::io::metadata carried = made(icc, ex, xmp_text);
        tessera::any_image im = colours();
        for (const char *name : {"png", "jpeg", "tiff", "webp", "png"}) {
            tessera::io::save_options s;
            s.metadata = &carried;
            s.lossless = true;
            const bytes file = tessera::io::encode(im, tessera::io::format(name), s);
            tessera::io::metadata back;
            tessera::io::load_options l;
            l.metadata = &back;
            im = tessera::io::load_memory(file, l);
            EXPECT_EQ(of(back.icc()), icc) << name;
            EXPECT_EQ(of(back.exif()), ex) << name;
            EXPECT_EQ(std::string(back.xmp().begin(), back.xmp().end()), xmp_text) << name;
            carried = std::move(back);
        }
    }
}

TEST(IoMetadata, AnAppliedOrientationReadsOneAndNothingElseChanges) {
    tessera::io::metadata tagged = made({}, exif(6), "");
    tessera::io::save_options s;
    s.metadata = &tagged;
    const bytes file = tessera::io::encode(colours(), tessera::io::format("png"), s);
    tessera::io::metadata upright, stored;
    tessera::io::load_options l;
    l.metadata = &upright;
    EXPECT_EQ(tessera::io::load_memory(file, l).get()->header->width, 5) << "turned";
    EXPECT_EQ(of(upright.exif()), exif(1));
    l.metadata = &stored;
    l.keep_orientation = true;
    EXPECT_EQ(tessera::io::load_memory(file, l).get()->header->width, 9);
    EXPECT_EQ(of(stored.exif()), exif(6)) << "the stored pixels keep their tag";
}

TEST(IoMetadata, OnlyWhatIsAskedIsGatheredAndFormatsWithoutRoomWriteNone) {
    tessera::io::metadata carried = made(profile("RGB "), exif(1), xmp_text);
    tessera::io::save_options with;
    with.metadata = &carried;
    const tessera::any_image im = colours();
    for (const char *name : {"ppm", "pam", "bmp", "gif"})
        EXPECT_EQ(tessera::io::encode(im, tessera::io::format(name), with),
                  tessera::io::encode(im, tessera::io::format(name)))
            << name;
    // a profile of other colours than the picture's is not written; the rest is
    const bytes gray = tessera::io::encode(tessera::image<uint8_t>(3, 2), tessera::io::format("png"), with);
    tessera::io::metadata seen;
    tessera::io::load_options look;
    look.metadata = &seen;
    tessera::io::load_memory(gray, look);
    EXPECT_TRUE(seen.icc().empty());
    EXPECT_EQ(of(seen.exif()), exif(1));
    // a load that fails leaves the caller's blocks as they were
    tessera::io::metadata kept = made({}, {}, "mine");
    tessera::io::load_options l;
    l.metadata = &kept;
    const bytes png = tessera::io::encode(im, tessera::io::format("png"), with);
    const bytes cut(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(png.size() - 30));
    EXPECT_FALSE(tessera::io::try_load_memory(cut, l));
    EXPECT_EQ(std::string(kept.xmp().begin(), kept.xmp().end()), "mine");
    EXPECT_TRUE(kept.icc().empty());
    // a load that succeeds replaces them; a file with none empties them
    EXPECT_TRUE(tessera::io::try_load_memory(tessera::io::encode(im, tessera::io::format("png")), l));
    EXPECT_TRUE(kept.empty());
}

TEST(IoMetadata, AJpegProfileInPartsIsJoinedAndABrokenOneIsPassedOver) {
    // a profile longer than one marker holds goes in parts, joined again on reading
    bytes big = profile("RGB ");
    big.resize(150000);
    for (std::size_t i = 132; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7 + i / 251);
    put32(big, 0, static_cast<uint32_t>(big.size()));
    tessera::io::metadata carried = made(big, {}, "");
    tessera::io::save_options s;
    s.metadata = &carried;
    bytes jpeg = tessera::io::encode(colours(), tessera::io::format("jpeg"), s);
    tessera::io::metadata back;
    tessera::io::load_options l;
    l.metadata = &back;
    tessera::io::load_memory(jpeg, l);
    EXPECT_EQ(of(back.icc()), big);
    // the second part's number made a repeat of the first: the pixels load, the profile does not
    const unsigned char mark[] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 2};
    auto at = std::search(jpeg.begin(), jpeg.end(), std::begin(mark), std::end(mark));
    ASSERT_NE(at, jpeg.end());
    at[12] = 1;
    EXPECT_TRUE(tessera::io::try_load_memory(jpeg, l));
    EXPECT_TRUE(back.icc().empty());
}

} // namespace

namespace {

TEST(IoColour, ToSrgbConvertsByTheProfileAsLittleCmsDoesAndCarriesSrgbsProfile) {
    const bytes p3 = display_p3();
    tessera::image<RGB16> deep(7, 4);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 7; ++x)
            deep.at(x, y) = RGB16{static_cast<uint16_t>(x * 9000), static_cast<uint16_t>(y * 20000), 40000};
    for (const tessera::any_image &im : {colours(), tessera::any_image(std::move(deep))}) {
        tessera::io::metadata given = made(p3, exif(1), "");
        tessera::io::save_options s;
        s.metadata = &given;
        const bytes png = tessera::io::encode(im, tessera::io::format("png"), s);
        tessera::io::metadata back;
        tessera::io::load_options l;
        l.metadata = &back;
        l.to_srgb = true;
        const tessera::any_image got = tessera::io::load_memory(png, l);
        // the reference: Little CMS used directly on the same pixels
        const bool sixteen = im.get()->header->tag == IMAGE_RGB16;
        cmsHPROFILE in = cmsOpenProfileFromMem(p3.data(), static_cast<cmsUInt32Number>(p3.size()));
        cmsHPROFILE out = cmsCreate_sRGBProfile();
        cmsHTRANSFORM xf = cmsCreateTransform(in, sixteen ? TYPE_RGB_16 : TYPE_RGB_8, out,
                                              sixteen ? TYPE_RGB_16 : TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
        const std::size_t row = static_cast<std::size_t>(im.get()->header->width) * (sixteen ? 6 : 3);
        for (int32_t y = 0; y < im.get()->header->height; ++y) {
            std::vector<unsigned char> want(row);
            cmsDoTransform(xf, im.get()->data[y], want.data(), static_cast<cmsUInt32Number>(im.get()->header->width));
            EXPECT_EQ(std::memcmp(got.get()->data[y], want.data(), row), 0) << "row " << y << " sixteen " << sixteen;
        }
        cmsDeleteTransform(xf);
        cmsCloseProfile(in);
        cmsCloseProfile(out);
        ASSERT_GE(back.icc().size(), 20u);
        EXPECT_EQ(std::string(back.icc().begin() + 16, back.icc().begin() + 20), "RGB ");
        EXPECT_NE(of(back.icc()), p3);
        EXPECT_EQ(of(back.exif()), exif(1)) << "the rest travels as it was";
    }
}

TEST(IoColour, FilesWithoutAProfileStayGrayStaysGrayAndNumbersAreRefused) {
    const tessera::any_image im = colours();
    tessera::io::load_options l;
    l.to_srgb = true;
    const bytes plain = tessera::io::encode(im, tessera::io::format("png"));
    const tessera::any_image same = tessera::io::load_memory(plain, l);
    for (int32_t y = 0; y < 5; ++y) EXPECT_EQ(std::memcmp(same.get()->data[y], im.get()->data[y], 27), 0);
    // a gray picture keeps its type and gets a gray profile with sRGB's curve
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 1.8);
    cmsHPROFILE g = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
    cmsUInt32Number n = 0;
    cmsSaveProfileToMem(g, nullptr, &n);
    bytes gray_profile(n);
    cmsSaveProfileToMem(g, gray_profile.data(), &n);
    cmsCloseProfile(g);
    cmsFreeToneCurve(gamma);
    tessera::image<uint8_t> gray(3, 2);
    gray.at(1, 0) = 100;
    tessera::io::metadata given = made(gray_profile, {}, "");
    tessera::io::save_options s;
    s.metadata = &given;
    tessera::io::metadata back;
    l.metadata = &back;
    const tessera::any_image got =
        tessera::io::load_memory(tessera::io::encode(gray, tessera::io::format("png"), s), l);
    EXPECT_EQ(got.get()->header->tag, IMAGE_GRAY);
    const int v = static_cast<uint8_t *>(got.get()->data[0])[1];
    EXPECT_GT(v, 100) << "gamma 1.8 to sRGB's curve lightens the middle";
    EXPECT_EQ(std::string(back.icc().begin() + 16, back.icc().begin() + 20), "GRAY");
    // numbers are not colours: the conversion is refused, not skipped
    tessera::io::load_options keep;
    keep.to_srgb = true;
    keep.depth = tessera::io::depth::keep;
    tessera::image<uint16_t> deep(3, 2);
    const tessera::any_image deep_gray(std::move(deep));
    EXPECT_FALSE(tessera::io::try_load_memory(tessera::io::encode(deep_gray, tessera::io::format("png"), s), keep));
    EXPECT_NE(std::string(tessera_io_last_error()).find("needs gray or colour samples"), std::string::npos)
        << tessera_io_last_error();
}

} // namespace
