// Every failure says why, per thread: small bad inputs and the reason each must give.
#include <tessera.h>

#include <string>
#include <thread>

#include "support/images.h"
#include "support/test_support.h"

using namespace tessera::test;

namespace {

std::string load_reason(const std::string &bytes) {
    TempFile f(bytes);
    void *im = im_Load(0xffff, f.path());
    EXPECT_EQ(im, nullptr) << bytes.substr(0, 20);
    if (im) im_Free_(im, static_cast<AnyImageStruct *>(im)->header->tag);
    return tessera_last_error();
}

std::string drawing_reason(const std::string &text) {
    TempFile f(text);
    PointList p = ptlLoad(f.path());
    EXPECT_EQ(p, nullptr) << text;
    if (p) ptlFree(p);
    return tessera_last_error();
}

} // namespace

TEST(Reasons, ImageFiles) {
    EXPECT_NE(load_reason("\x89PNG\r\n\x1a\n").find("not a raw Netpbm or Q file (starts with 89 50 4e 47)"),
              std::string::npos);
    EXPECT_NE(load_reason("P5\n3 2\n65535\n").find("maxval 65535: only 1..255 is supported"), std::string::npos);
    EXPECT_NE(
        load_reason("P5\n80 60\n255\n" + std::string(1234, 'x')).find("pixel data ends after 1,234 of 4,800 bytes"),
        std::string::npos);
    EXPECT_NE(load_reason("P5\n0 2\n255\n").find("width 0 is not a valid size"), std::string::npos);
    EXPECT_NE(load_reason("P2\n1 1\n255\n7\n").find("plain Netpbm (P2) is not supported"), std::string::npos);
    EXPECT_NE(load_reason("P5\n3 x\n").find("the height: line 2: expected a number, found 'x'"), std::string::npos);
    EXPECT_NE(load_reason("").find("the file is empty"), std::string::npos);
    EXPECT_EQ(im_Load(IMAGE_GRAY, "/nonexistent-tessera-dir/x.pgm"), nullptr);
    EXPECT_STREQ(tessera_last_error(), "cannot open '/nonexistent-tessera-dir/x.pgm': No such file or directory");
}

TEST(Reasons, PointListFiles) {
    EXPECT_NE(drawing_reason("PTL 0 0 10 10\n\np 1 2\n\n# note\n\n\nl 1 x 3 4\n")
                  .find("line 8: expected a number after 'l', found 'x'"),
              std::string::npos);
    EXPECT_NE(
        drawing_reason("PTL 0 0 10 10\nq 1 2\n").find("line 2: expected an element letter (p, l, e or f), found 'q'"),
        std::string::npos);
    EXPECT_NE(drawing_reason("CPTL 0 0 10 10\np 1 2\n").find("line 2: a colour list's element needs a colour"),
              std::string::npos);
    EXPECT_NE(drawing_reason("PTL 0 0 10 10\np 1 " + std::string(5000, '2') + "\n")
                  .find("line 2: an element line longer than 4094 characters"),
              std::string::npos);
    EXPECT_NE(drawing_reason("PNG 0 0 1 1\n").find("not a point-list file (it starts with 'PNG'"), std::string::npos);
    EXPECT_NE(drawing_reason("PTL 0 0 0 1\n").find("width and height must be above 0"), std::string::npos);
    EXPECT_NE(drawing_reason("PTL 0 0 x 1\n").find("the header's width: line 1: expected a number, found 'x'"),
              std::string::npos);
}

TEST(Reasons, RenderingAndMemory) {
    PointList p = ptlNew(false, 0, 0, 4, 4, nullptr);
    EXPECT_EQ(ptlRender(p, IMAGE_GRAY, 1, 1, RGB{0, 0, 0}, nullptr), nullptr);
    EXPECT_NE(std::string(tessera_last_error()).find("not tag 1"), std::string::npos);
    EXPECT_EQ(ptlRender(p, IMAGE_RGB, 0, 1, RGB{0, 0, 0}, nullptr), nullptr);
    EXPECT_NE(std::string(tessera_last_error()).find("scale"), std::string::npos);
    ptlFree(p);
    EXPECT_EQ(im_NewOrWrap_(IMAGE_DOUBLE, 2000000000, 2000000000, 0, 0, nullptr, 0, 0, nullptr), nullptr);
    EXPECT_NE(std::string(tessera_last_error()).find("does not fit in memory"), std::string::npos);
    each_allocation_failure([](FailPoint &fp) {
        fp.arm();
        void *im = im_NewOrWrap_(IMAGE_RGB, 4096, 4096, 0, 0, nullptr, 0, 0, nullptr);
        if (fp.fired()) {
            EXPECT_EQ(im, nullptr);
            EXPECT_NE(std::string(tessera_last_error()).find("out of memory ("), std::string::npos);
            EXPECT_EQ(tessera_last_error_code(), TESSERA_ERROR_MEMORY);
        }
        if (im) im_Free_(im, IMAGE_RGB);
    });
}

// Every reason comes with a code that tells its kind, so that callers need not read the text;
// context put before a reason keeps its code.
TEST(Reasons, EachHasItsCode) {
    struct Case {
        const char *name;
        int code;
        bool (*fails)();
    };
    static const Case cases[] = {
        {"a file that is not there", TESSERA_ERROR_FILE,
         [] { return im_Load(IMAGE_GRAY, "/nonexistent-tessera-dir/x.pgm") == nullptr; }},
        {"pixel data cut short", TESSERA_ERROR_FORMAT,
         [] { return load_reason("P5\n80 60\n255\nxx").find("pixel data ends") != std::string::npos; }},
        {"a bad number in the header (in context)", TESSERA_ERROR_FORMAT,
         [] { return load_reason("P5\n3 x\n").find("the height: ") == 0; }},
        {"plain Netpbm", TESSERA_ERROR_UNSUPPORTED,
         [] { return load_reason("P2\n1 1\n255\n7\n").find("not supported") != std::string::npos; }},
        {"a drawing's syntax", TESSERA_ERROR_FORMAT,
         [] { return drawing_reason("PTL 0 0 10 10\nq 1 2\n").find("line 2") != std::string::npos; }},
        {"an image of width 0", TESSERA_ERROR_ARGUMENT,
         [] { return im_NewOrWrap_(IMAGE_GRAY, 0, 5, 0, 0, nullptr, 0, 0, nullptr) == nullptr; }},
        {"a rotation of 45 degrees", TESSERA_ERROR_ARGUMENT,
         [] {
             auto *im = static_cast<AnyImageStruct *>(im_NewOrWrap_(IMAGE_GRAY, 2, 2, 0, 0, nullptr, 0, 0, nullptr));
             const bool refused = tessera_rotate(im, 45) == nullptr;
             im_Free_(im, IMAGE_GRAY);
             return refused;
         }},
        {"a size no allocation holds", TESSERA_ERROR_MEMORY,
         [] { return im_NewOrWrap_(IMAGE_DOUBLE, 2000000000, 2000000000, 0, 0, nullptr, 0, 0, nullptr) == nullptr; }},
        {"a result over the budget", TESSERA_ERROR_LIMIT,
         [] {
             auto *im = static_cast<AnyImageStruct *>(im_NewOrWrap_(IMAGE_GRAY, 2, 2, 0, 0, nullptr, 0, 0, nullptr));
             const uint64_t before = tessera_set_budget(1000);
             const bool refused = imScale(im, 100, 100) == nullptr;
             tessera_set_budget(before);
             im_Free_(im, IMAGE_GRAY);
             return refused;
         }},
        {"a rendering of an unknown type", TESSERA_ERROR_ARGUMENT,
         [] {
             PointList p = ptlNew(false, 0, 0, 4, 4, nullptr);
             const bool refused = ptlRender(p, IMAGE_GRAY, 1, 1, RGB{0, 0, 0}, nullptr) == nullptr;
             ptlFree(p);
             return refused;
         }},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(c.fails()) << c.name;
        EXPECT_EQ(tessera_last_error_code(), c.code) << c.name << ": " << tessera_last_error();
    }
    EXPECT_STREQ(tessera_error_code_name(TESSERA_ERROR_NONE), "none");
    EXPECT_STREQ(tessera_error_code_name(TESSERA_ERROR_UNSUPPORTED), "unsupported");
    EXPECT_EQ(tessera_error_code_name(7), nullptr);
    EXPECT_EQ(tessera_error_code_name(-1), nullptr);
    std::thread([] { EXPECT_EQ(tessera_last_error_code(), TESSERA_ERROR_NONE); }).join();
}

// Each thread sees its own reason, whatever the other threads do meanwhile.
TEST(Reasons, ArePerThread) {
    std::string a, b;
    std::thread first([&] {
        for (int i = 0; i < 200; ++i) {
            im_Load(IMAGE_GRAY, "/nonexistent-tessera-dir/a.pgm");
            a = tessera_last_error();
            if (a.find("a.pgm") == std::string::npos) return;
        }
    });
    std::thread second([&] {
        PointList p = ptlNew(false, 0, 0, 4, 4, nullptr);
        for (int i = 0; i < 200; ++i) {
            ptlRender(p, IMAGE_GRAY, 1, 1, RGB{0, 0, 0}, nullptr);
            b = tessera_last_error();
            if (b.find("not tag 1") == std::string::npos) break;
        }
        ptlFree(p);
    });
    first.join();
    second.join();
    EXPECT_NE(a.find("a.pgm"), std::string::npos) << a;
    EXPECT_NE(b.find("not tag 1"), std::string::npos) << b;
}

TEST(Version, HeadersAndLibraryAgree) {
    EXPECT_STREQ(tessera_version(), TESSERA_VERSION_STRING);
    EXPECT_EQ(std::to_string(TESSERA_VERSION_MAJOR) + "." + std::to_string(TESSERA_VERSION_MINOR) + "." +
                  std::to_string(TESSERA_VERSION_PATCH),
              TESSERA_VERSION_STRING);
}
