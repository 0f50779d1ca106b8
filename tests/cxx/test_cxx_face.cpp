// The C++ face: ownership, typed access against the C results, misuse that would stop a C
// program throwing instead, and the generator in <random>.
#include <tessera.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

std::filesystem::path scratch(const std::string &name) {
    static const std::filesystem::path dir = [] {
        char tmpl[] = "/tmp/tessera-cxx-XXXXXX";
        return std::filesystem::path(mkdtemp(tmpl));
    }();
    return dir / name;
}

tessera::image<uint8_t> ramp(int w, int h, int xo = 0, int yo = 0) {
    tessera::image<uint8_t> im(w, h, xo, yo);
    for (int y = yo; y < yo + h; ++y)
        for (int x = xo; x < xo + w; ++x) im(x, y) = static_cast<uint8_t>((x - xo) * 10 + (y - yo));
    return im;
}

} // namespace

TEST(CxxImage, TypedAccessHonoursOffsetsAndMatchesC) {
    auto im = ramp(5, 4, -2, 3);
    EXPECT_EQ(im.bounds(), (tessera::rect{-2, 3, 5, 4}));
    EXPECT_EQ(im(-2, 3), 0);
    EXPECT_EQ(im(2, 6), 43);
    // the same pixel through the C handle
    EXPECT_EQ(static_cast<GrayImageStruct *>(static_cast<void *>(im.get()))->data[6][2], 43);
    EXPECT_EQ(im.row(4).size(), 5u);
    EXPECT_EQ(im.row(4)[0], 1);
    int rows = 0;
    for (std::span<uint8_t> r : im.rows()) rows += static_cast<int>(r.size() == 5);
    EXPECT_EQ(rows, 4);
    const auto &constant = im;
    tessera::image_view<const uint8_t> v = constant.view();
    EXPECT_EQ(v(0, 4), 21);
    const auto [mx, mn] = im.extrema();
    EXPECT_EQ(mx, 43);
    EXPECT_EQ(mn, 0);
    EXPECT_THROW(im.at(3, 3), std::out_of_range);
    EXPECT_THROW(im.at(-3, 3), std::out_of_range);
}

TEST(CxxImage, OperationsGiveTheCResults) {
    auto im = ramp(8, 6);
    auto crop = im.crop({2, 1, 3, 2});
    EXPECT_EQ(crop.bounds(), (tessera::rect{2, 1, 3, 2}));
    EXPECT_EQ(crop(4, 2), im(4, 2));
    auto into = tessera::image<uint8_t>(8, 6);
    im.crop_into(into, {0, 0, 2, 2}, 6, 4);
    EXPECT_EQ(into(7, 5), im(1, 1));
    auto bordered = im.border(2);
    EXPECT_EQ(bordered.width(), 12);
    EXPECT_EQ(bordered(0, 0), 0);
    EXPECT_EQ(bordered(2, 2), im(0, 0));
    auto scaled = im.scale(4, 3);
    EXPECT_EQ(scaled.width(), 4);
    auto copy = im.dup();
    copy(0, 0) = 99;
    EXPECT_EQ(im(0, 0), 0); // a real copy
    copy.fill(7);
    EXPECT_EQ(copy.extrema(), std::make_pair(uint8_t{7}, uint8_t{7}));
    tessera::image<RGB> rgb(2, 2);
    rgb.fill(RGB{1, 2, 3});
    EXPECT_EQ(rgb(1, 1).b, 3);
    tessera::image<tessera::float3b> triple(2, 1);
    triple(1, 0) = {1, 2, 3};
    EXPECT_EQ(triple.extrema().first.c, 3);
}

TEST(CxxImage, FilesByPathAndStream) {
    auto im = ramp(7, 5);
    im.save(scratch("a.pgm"));
    auto back = tessera::image<uint8_t>::load(scratch("a.pgm"));
    EXPECT_EQ(back(6, 4), im(6, 4));
    std::FILE *f = std::fopen(scratch("b.pgm").c_str(), "w+b");
    im.save(f);
    std::rewind(f);
    auto from_stream = tessera::image<uint8_t>::load(f);
    std::fclose(f);
    EXPECT_EQ(from_stream(3, 2), im(3, 2));
    auto any = tessera::any_image::load(scratch("a.pgm"));
    EXPECT_EQ(any.tag(), IMAGE_GRAY);
    const int total = any.visit([](auto view) {
        int sum = 0;
        if constexpr (std::is_same_v<typename decltype(view)::value_type, uint8_t>)
            for (auto r : view.rows()) sum += std::accumulate(r.begin(), r.end(), 0);
        return sum;
    });
    EXPECT_GT(total, 0);
    auto typed = std::move(any).as<uint8_t>();
    EXPECT_EQ(typed(6, 4), im(6, 4));
    EXPECT_FALSE(any.valid());
    EXPECT_THROW(tessera::any_image::load(scratch("a.pgm")).as<float>(), std::invalid_argument);
    EXPECT_THROW(tessera::image<float>::load(scratch("a.pgm")), tessera::error);
    try {
        (void)tessera::image<uint8_t>::load(scratch("missing.pgm"));
        FAIL() << "no exception";
    } catch (const tessera::file_error &e) {
        EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos) << e.what();
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
        EXPECT_EQ(e.path(), scratch("missing.pgm"));
    }
    // A file that is there but not an image has no system error behind it.
    std::FILE *text = std::fopen(scratch("text.pgm").c_str(), "w");
    std::fputs("hello\n", text);
    std::fclose(text);
    try {
        (void)tessera::any_image::load(scratch("text.pgm"));
        FAIL() << "no exception";
    } catch (const tessera::file_error &e) {
        EXPECT_FALSE(e.code()) << e.what();
        EXPECT_FALSE(e.reason().empty());
    }
    EXPECT_FALSE(tessera::image<uint8_t>::try_load(scratch("missing.pgm")).has_value());
}

// An image of a run-time type does what image<T> does, on its own element type.
TEST(CxxImage, AnyImageOperationsKeepTheElementType) {
    for (const uint16_t tag : {IMAGE_GRAY, IMAGE_BINARY, IMAGE_SHORT, IMAGE_INT, IMAGE_FLOAT, IMAGE_DOUBLE, IMAGE_RGB,
                               IMAGE_FLOAT3A, IMAGE_FLOAT3B}) {
        SCOPED_TRACE(tag);
        tessera::any_image im(tag, 5, 4, -2, 7);
        EXPECT_EQ(im.bounds(), (tessera::rect{-2, 7, 5, 4}));
        EXPECT_EQ(im.element_size(), im.visit([](auto v) { return sizeof(typename decltype(v)::value_type); }));
        // one byte set in the pixel at (0, 8): every copy must carry it to the same place
        static_cast<unsigned char *>(im.get()->data[8])[0 * im.element_size()] = 1;
        const auto first = [](const tessera::any_image &a, int32_t x, int32_t y) {
            return static_cast<const unsigned char *>(
                a.get()->data[y])[static_cast<std::ptrdiff_t>(x) * static_cast<std::ptrdiff_t>(a.element_size())];
        };
        const auto copy = im.dup();
        EXPECT_EQ(copy.tag(), tag);
        EXPECT_EQ(first(copy, 0, 8), 1);
        const auto part = im.crop({-1, 8, 2, 2});
        EXPECT_EQ(part.bounds(), (tessera::rect{-1, 8, 2, 2}));
        EXPECT_EQ(first(part, 0, 8), 1);
        const auto framed = im.border(3);
        EXPECT_EQ(framed.bounds(), (tessera::rect{0, 0, 11, 10}));
        EXPECT_EQ(first(framed, 5, 4), 1);
        EXPECT_EQ(first(framed, 0, 0), 0);
        const auto scaled = im.scale(10, 8);
        EXPECT_EQ(scaled.bounds(), (tessera::rect{0, 0, 10, 8}));
        EXPECT_EQ(first(scaled, 4, 2), 1);
    }
    tessera::any_image im(IMAGE_GRAY, 2, 2);
    im.set_comment("made here");
    EXPECT_EQ(im.comment(), "made here");
    im.save(scratch("any.pgm"));
    // a file's comment comes back with the line feed that ends its line
    EXPECT_EQ(tessera::any_image::load(scratch("any.pgm")).comment(), "made here\n");
    im.set_comment("");
    EXPECT_EQ(im.comment(), "");
    std::vector<double> pixels(6, 0.5);
    auto wrapped = tessera::any_image::wrap(IMAGE_DOUBLE, pixels.data(), 3, 2);
    EXPECT_TRUE(wrapped.wrapped());
    std::move(wrapped).as<double>()(2, 1) = 4;
    EXPECT_EQ(pixels[5], 4);
}

TEST(CxxImage, GeometryGivesTheCResults) {
    auto im = ramp(5, 3, 10, 20);
    const auto turned = im.rotate(90);
    EXPECT_EQ(turned.bounds(), (tessera::rect{20, 10, 3, 5}));
    EXPECT_EQ(turned(20, 10), im(10, 22)); // the bottom-left corner comes to the top left
    EXPECT_EQ(im.flip_horizontal()(10, 20), im(14, 20));
    EXPECT_EQ(im.flip_vertical()(10, 20), im(10, 22));
    EXPECT_EQ(im.rotate(-90).bounds(), im.transpose().flip_vertical().bounds());
    const auto half = im.resize(3, 2, tessera::filter::box);
    tessera::image<uint8_t> c = tessera::image<uint8_t>::adopt(tessera_resize(im.get(), 3, 2, TESSERA_BOX));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(half(x, y), c(x, y));
    tessera::any_image any(IMAGE_FLOAT3B, 4, 7, 1, 2);
    const auto big = any.resize(9, 2, tessera::filter::lanczos3);
    EXPECT_EQ(big.tag(), IMAGE_FLOAT3B);
    EXPECT_EQ(big.bounds(), (tessera::rect{0, 0, 9, 2}));
    EXPECT_EQ(any.transpose().bounds(), (tessera::rect{2, 1, 7, 4}));
    // a side of 0 keeps the aspect, as the tool's 800x does: 5 x 3 to 10 wide is 10 x 6
    EXPECT_EQ(im.resize(10, 0).bounds(), (tessera::rect{0, 0, 10, 6}));
    EXPECT_EQ(any.resize(0, 14).bounds(), (tessera::rect{0, 0, 8, 14}));
}

// The alpha and 16-bit types are typed images like the others; overlaid() composites by alpha.
TEST(CxxImage, AlphaAndSixteenBitTypesAndOverlaid) {
    tessera::image<RGBA> logo(2, 1, 5, 7);
    logo(5, 7) = RGBA{255, 0, 0, 128};
    logo(6, 7) = RGBA{0, 255, 0, 255};
    tessera::image<RGB> photo(4, 3, 4, 6);
    photo.fill(RGB{0, 0, 255});
    const tessera::image<RGB> out = photo.overlaid(logo);
    EXPECT_EQ(out.bounds(), photo.bounds());
    EXPECT_EQ(out(5, 7).r, 128);
    EXPECT_EQ(out(5, 7).b, 127);
    EXPECT_EQ(out(6, 7).g, 255);
    EXPECT_EQ(out(4, 6).b, 255);
    EXPECT_EQ(logo.resize(4, 2).get()->header->tag, IMAGE_RGBA);
    tessera::image<uint16_t> deep(3, 2);
    deep(2, 1) = 65535;
    EXPECT_EQ(deep.rotate(90)(0, 2), 65535);
    EXPECT_EQ(tessera::any_image(IMAGE_RGBA16, 3, 3, 0, 0).element_size(), 8u);
    EXPECT_EQ(tessera::any_image(IMAGE_RGB16, 3, 3, 0, 0).flip_horizontal().tag(), IMAGE_RGB16);
    tessera::image<RGBA16> deep_logo(1, 1);
    EXPECT_THROW((void)photo.overlaid(deep_logo), tessera::error); // 8 and 16 bits do not mix
}

TEST(CxxImage, WrappingCallerMemoryDoesNotCopy) {
    std::vector<float> pixels(12, 1.5f);
    auto im = tessera::image<float>::wrap(pixels, 4, 3, 10, 20);
    im(11, 21) = 8;
    EXPECT_EQ(pixels[5], 8);
    EXPECT_THROW(tessera::image<float>::wrap(pixels, 5, 3), std::invalid_argument);
}

TEST(CxxOwnership, MovesLeaveTheSourceEmpty) {
    auto a = ramp(3, 3);
    auto b = std::move(a);
    EXPECT_FALSE(a.valid());
    EXPECT_TRUE(b.valid());
    tessera::string s("abc");
    tessera::string t = std::move(s);
    EXPECT_EQ(t.view(), "abc");
    EXPECT_EQ(s.view(), "");
    t += 'd';
    t += tessera::string("ef");
    EXPECT_EQ(t.view(), "abcdef");
    EXPECT_EQ(t.size(), 6u);
    tessera::drawing d(0, 0, 10, 10);
    d.point(1, 1);
    tessera::drawing e = std::move(d);
    EXPECT_EQ(e.size(), 1u);
}

TEST(CxxContainers, ListRunsItsRemovalHook) {
    static int removed = 0;
    struct count_removal {
        void operator()(int *) const { ++removed; }
    };
    int items[3] = {1, 2, 3};
    {
        tessera::list<int, count_removal> l;
        for (int &i : items) l.push_back(&i);
        EXPECT_EQ(l.size(), 3u);
        auto it = l.erase(l.begin());
        EXPECT_EQ(**it, 2);
        EXPECT_EQ(removed, 1);
        tessera::list<int, count_removal> other;
        EXPECT_THROW(other.erase(l.begin()), std::invalid_argument);
    }
    EXPECT_EQ(removed, 3); // the rest went with the list
    tessera::list<std::string, std::default_delete<std::string>> owning;
    owning.push_back(new std::string("owned")); // freed by the list; the sanitizers check it
    EXPECT_EQ(*(*owning.begin()), "owned");
}

TEST(CxxContainers, PriorityQueueHandlesFollowTheirElements) {
    tessera::priority_queue<std::string> q;
    auto pear = q.push("pear");
    q.push("apple");
    auto fig = q.push("fig");
    EXPECT_EQ(q.top(), "apple");
    EXPECT_EQ(fig.value(), "fig");
    q.erase(fig);
    q.pop();
    EXPECT_EQ(q.top(), "pear");
    EXPECT_EQ(pear.value(), "pear");
    q.pop();
    EXPECT_TRUE(q.empty());
    EXPECT_THROW(q.pop(), std::out_of_range);
    EXPECT_THROW((void)q.top(), std::out_of_range);
    tessera::priority_queue<std::string> other;
    auto h = other.push("x");
    EXPECT_THROW(q.erase(h), std::invalid_argument);
    tessera::priority_queue<int, std::greater<int>> largest_first;
    for (int v : {3, 9, 1}) largest_first.push(v);
    EXPECT_EQ(largest_first.top(), 9);
}

TEST(CxxNumerics, GeneratorPlugsIntoRandom) {
    static_assert(std::uniform_random_bit_generator<tessera::generator>);
    auto g = tessera::generator::normal(0, 1, 42);
    std::normal_distribution<double> dist(10, 2);
    double sum = 0;
    for (int i = 0; i < 2000; ++i) sum += dist(g);
    EXPECT_NEAR(sum / 2000, 10, 0.3);
    std::vector<int> v(50);
    std::iota(v.begin(), v.end(), 0);
    auto shuffled = v;
    std::shuffle(shuffled.begin(), shuffled.end(), g);
    EXPECT_NE(shuffled, v);
    EXPECT_TRUE(std::is_permutation(shuffled.begin(), shuffled.end(), v.begin()));
    auto a = tessera::generator::uniform_int(0, 9, 7), b = tessera::generator::uniform_int(0, 9, 7);
    for (int i = 0; i < 20; ++i) {
        const double x = a.next();
        ASSERT_EQ(x, b.next());
        ASSERT_TRUE(x >= 0 && x <= 9);
    }
    // the same draws as the C generator with the same seed
    GenUniformIntParams p{0, 9};
    auto *c = static_cast<_int_generator_struct_ *>(genNew_(GEN_UNIFORM_INT, 7, &p));
    a.reseed(7);
    EXPECT_EQ(a.next(), c->generate(c));
    genFree_(GEN_UNIFORM_INT, c);
    EXPECT_THROW(tessera::generator::uniform_int(5, 1), std::invalid_argument);
    EXPECT_THROW(tessera::generator::exponential(0), std::invalid_argument);
    tessera::histogram h(4, 0, 1);
    h.add(0.1);
    h.add(0.9, 2);
    EXPECT_EQ(h.bins()[0], 1);
    EXPECT_EQ(h.bins()[3], 2);
    EXPECT_THROW(tessera::histogram(4, 1, 0), std::invalid_argument);
}

TEST(CxxDrawing, BuildIterateSaveRender) {
    tessera::drawing d(0, 0, 20, 10);
    d.line(0, 0, 19, 9, 1, RGB{255, 0, 0}).ellipse(10, 5, 4, 3, 0, RGB{0, 255, 0}).fill(10, 5).point(2, 8, 3);
    EXPECT_EQ(d.size(), 4u);
    std::vector<unsigned char> types;
    for (const tessera::element &e : d) types.push_back(e.type);
    EXPECT_EQ(types, (std::vector<unsigned char>{PTL_LINE, PTL_ELLIPSE, PTL_FILL, PTL_POINT}));
    d.save(scratch("d.cptl"));
    auto back = tessera::drawing::load(scratch("d.cptl"));
    EXPECT_EQ(back.size(), 4u);
    bool clipped = true;
    auto rgb = back.render_rgb(2, 2, RGB{0, 0, 0}, &clipped);
    EXPECT_EQ(rgb.width(), 40);
    EXPECT_FALSE(clipped);
    auto bits = back.render_binary(1, 1);
    EXPECT_EQ(bits(10, 5), 1); // filled
    EXPECT_THROW(back.render_rgb(0, 1), std::invalid_argument);
    EXPECT_THROW(tessera::drawing(0, 0, 0, 1), std::invalid_argument);
    // any area alone: that part of the whole rendering (colour leaves the fill out)
    EXPECT_EQ(back.render_geometry(2, 2), (tessera::rect{0, 0, 40, 20}));
    auto part = back.render_rgb_area(2, 2, tessera::rect{13, 4, 20, 11});
    ASSERT_EQ(part.width(), 20);
    bool same = true;
    for (int32_t y = 4; y < 15; ++y)
        for (int32_t x = 13; x < 33; ++x) same = same && std::memcmp(&part(x, y), &rgb(x, y), sizeof(RGB)) == 0;
    EXPECT_TRUE(same);
    EXPECT_THROW(back.render_binary_area(1, 1, tessera::rect{0, 0, 5, 5}), tessera::error); // the fill
    EXPECT_FALSE(back.try_render_rgb_area(2, 2, tessera::rect{-1, 0, 5, 5}).has_value());
    EXPECT_FALSE(back.try_render_geometry(0, 1).has_value());
}

// Every call below would stop a C program with an assertion or a panic; here each throws.
// What empty and moved-from objects answer without throwing, and strings that append themselves.
TEST(CxxMisuse, EmptyObjectsAnswerAsEmpty) {
    tessera::image<uint8_t> empty;
    EXPECT_EQ(empty.comment(), "");
    EXPECT_EQ(empty.view().width(), 0);
    EXPECT_FALSE(empty.view().contains(0, 0));
    EXPECT_EQ(std::distance(empty.view().rows().begin(), empty.view().rows().end()), 0);
    EXPECT_EQ(tessera::any_image{}.tag(), 0);
    tessera::drawing d(0, 0, 4, 4);
    d.point(1, 1);
    tessera::drawing taken = std::move(d);
    EXPECT_FALSE(d.valid());
    EXPECT_EQ(d.size(), 0u);
    EXPECT_EQ(d.comment(), "");
    EXPECT_EQ(d.begin(), d.end());
    EXPECT_FALSE(d.try_save(scratch("moved.ptl")));
    EXPECT_FALSE(d.try_render_rgb(1, 1).has_value());
    ASSERT_TRUE(taken.try_render_binary(2, 2).has_value());
    EXPECT_EQ(taken.try_render_binary(2, 2)->width(), 8);
    tessera::histogram h(4, 0, 1);
    tessera::histogram h2 = std::move(h);
    EXPECT_TRUE(h.bins().empty());
    tessera::string s("ab");
    s += s;
    EXPECT_EQ(s.view(), "abab");
}

// The library's failures are thrown by their code: memory as std::bad_alloc, the rest as
// tessera::error (file_error for files) whose kind() is the code.
TEST(CxxErrors, ExceptionsFollowTheLibraryCode) {
    auto kind_of = [](const std::function<void()> &call) {
        try {
            call();
        } catch (const tessera::error &e) {
            return e.kind();
        }
        return tessera::failure::none;
    };
    EXPECT_EQ(kind_of([] { (void)tessera::image<uint8_t>::load(scratch("missing.pgm")); }), tessera::failure::file);
    {
        std::FILE *f = std::fopen(scratch("short.pgm").c_str(), "wb");
        std::fputs("P5 4 4 255\nab", f);
        std::fclose(f);
    }
    EXPECT_EQ(kind_of([] { (void)tessera::image<uint8_t>::load(scratch("short.pgm")); }), tessera::failure::format);
    const uint64_t before = tessera::set_budget(1000);
    EXPECT_EQ(kind_of([] { (void)ramp(4, 4).scale(100, 100); }), tessera::failure::limit);
    EXPECT_EQ(kind_of([] { (void)tessera::drawing(0, 0, 4, 4).render_rgb(100, 100); }), tessera::failure::limit);
    tessera::set_budget(before);
    EXPECT_THROW(tessera::image<double>(2000000000, 2000000000), std::bad_alloc);
}

TEST(CxxMisuse, EveryPreconditionThrowsInsteadOfAborting) {
    auto im = ramp(4, 4);
    tessera::image<uint8_t> empty;
    const std::vector<std::pair<const char *, std::function<void()>>> cases = {
        {"crop past the edge",
         [&] {
             (void)im.crop({2, 2, 3, 3});
         }},
        {"crop of no pixels",
         [&] {
             (void)im.crop({0, 0, 0, 2});
         }},
        {"crop_into a target too small",
         [&] {
             auto small = tessera::image<uint8_t>(2, 2);
             im.crop_into(small, {0, 0, 3, 3}, 0, 0);
         }},
        {"negative border", [&] { (void)im.border(-1); }},
        {"scale to nothing", [&] { (void)im.scale(0, 3); }},
        {"image of no pixels", [] { tessera::image<double> bad(0, 1); }},
        {"operation on an empty image", [&] { (void)empty.dup(); }},
        {"fill of an empty image", [&] { empty.fill(1); }},
        {"extrema of an empty image", [&] { (void)empty.extrema(); }},
        {"pixel outside", [&] { (void)im.at(4, 0); }},
        {"load from no stream", [] { (void)tessera::image<uint8_t>::load(static_cast<std::FILE *>(nullptr)); }},
        {"save to no stream", [&] { im.save(static_cast<std::FILE *>(nullptr)); }},
        // empty and moved-from objects: every member throws, none touches a null record
        {"at of an empty image", [&] { (void)empty.at(0, 0); }},
        {"row of an empty image", [&] { (void)empty.view().row(0); }},
        {"row outside", [&] { (void)im.row(9); }},
        {"visit of an empty any_image", [] { tessera::any_image{}.visit([](auto) {}); }},
        {"point on a moved-from drawing",
         [] {
             tessera::drawing d(0, 0, 4, 4);
             tessera::drawing taken = std::move(d);
             d.point(1, 1);
         }},
        {"render of a moved-from drawing",
         [] {
             tessera::drawing d(0, 0, 4, 4);
             tessera::drawing taken = std::move(d);
             (void)d.render_rgb(1, 1);
         }},
        {"save of a moved-from drawing",
         [] {
             tessera::drawing d(0, 0, 4, 4);
             tessera::drawing taken = std::move(d);
             d.save(scratch("moved.ptl"));
         }},
        {"next of a moved-from generator",
         [] {
             auto g = tessera::generator::normal(0, 1, 3);
             auto taken = std::move(g);
             (void)g.next();
         }},
        {"reseed of a moved-from generator",
         [] {
             auto g = tessera::generator::normal(0, 1, 3);
             auto taken = std::move(g);
             g.reseed(4);
         }},
        {"add to a moved-from histogram",
         [] {
             tessera::histogram h(4, 0, 1);
             tessera::histogram taken = std::move(h);
             h.add(0.5);
         }},
        {"any_image of a tag without a fixed size", [] { tessera::any_image(IMAGE_STRUCT, 2, 2); }},
        {"any_image of an unknown tag", [] { tessera::any_image(77, 2, 2); }},
        {"any_image of no pixels", [] { tessera::any_image(IMAGE_INT, 3, 0); }},
        {"any_image whose indices overflow", [] { tessera::any_image(IMAGE_INT, 3, 2, INT32_MAX - 1, 0); }},
        {"any_image wrapping nothing", [] { (void)tessera::any_image::wrap(IMAGE_GRAY, nullptr, 2, 2); }},
        {"dup of an empty any_image", [] { (void)tessera::any_image{}.dup(); }},
        {"crop of an empty any_image",
         [] {
             (void)tessera::any_image{}.crop({0, 0, 1, 1});
         }},
        {"any_image crop past the edge",
         [] {
             (void)tessera::any_image(IMAGE_FLOAT, 4, 4).crop({3, 0, 2, 1});
         }},
        {"any_image crop whose width overflows",
         [] {
             (void)tessera::any_image(IMAGE_FLOAT, 4, 4).crop({2, 0, INT32_MAX, 1});
         }},
        {"any_image border too wide", [] { (void)tessera::any_image(IMAGE_GRAY, 4, 4).border(INT32_MAX / 2); }},
        {"any_image scale to nothing", [] { (void)tessera::any_image(IMAGE_GRAY, 4, 4).scale(3, 0); }},
        {"comment of an empty any_image", [] { tessera::any_image{}.set_comment("x"); }},
        {"save of an empty any_image", [] { tessera::any_image{}.save(scratch("empty.pgm")); }},
        {"resize of an empty image", [&] { (void)empty.resize(2, 2); }},
        {"resize to nothing", [&] { (void)im.resize(0, 0); }},
        {"resize to a negative width", [&] { (void)im.resize(-1, 2); }},
        {"resize with an unknown filter", [&] { (void)im.resize(2, 2, static_cast<tessera::filter>(9)); }},
        {"rotate by 45 degrees", [&] { (void)im.rotate(45); }},
        {"rotate by 0 degrees", [&] { (void)im.rotate(0); }},
        {"flip of an empty any_image", [] { (void)tessera::any_image{}.flip_vertical(); }},
        {"histogram of no bins", [] { tessera::histogram h(0, 0, 1); }},
        {"drawing comment with a NUL", [] { tessera::drawing(0, 0, 1, 1, true, std::string_view("a\0b", 3)); }},
        {"crop whose width overflows",
         [&] {
             (void)im.crop({2, 0, INT32_MAX, 1});
         }},
        {"crop_into whose corner overflows",
         [&] {
             auto small = tessera::image<uint8_t>(2, 2);
             im.crop_into(small, {0, 0, 1, 1}, 1, INT32_MAX);
         }},
    };
    for (const auto &[what, call] : cases) {
        bool threw = false;
        try {
            call();
        } catch (const std::invalid_argument &) {
            threw = true;
        } catch (const std::out_of_range &) {
            threw = true;
        }
        EXPECT_TRUE(threw) << what;
    }
}
