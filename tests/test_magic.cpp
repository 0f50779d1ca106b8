#include <tessera/magic.h>

#include <cmath>
#include <cstring>
#include <string>

#include "support/magic_internal.h"
#include "support/test_support.h"

using namespace tessera::test;
using tessera::detail::magicComment;

namespace {
struct Stream {
    FILE *f;
    explicit Stream(const std::string &bytes) : f(stream_of(bytes)) {}
    ~Stream() { std::fclose(f); }
    std::string rest() {
        std::string out;
        for (int c; (c = std::fgetc(f)) != EOF;) out += static_cast<char>(c);
        return out;
    }
};

std::string comment() {
    adtStringHeader *c = magicComment();
    std::string text = strGet(c);
    strFree(c);
    return text;
}
} // namespace

TEST(Magic, ReadsAnImageHeaderAndItsComment) {
    Stream in("P5\n# made by hand\n3 2\n255\nDATA");
    ASSERT_EQ(magicStart(), 0);
    adtStringHeader *word = nullptr;
    ASSERT_EQ(magicGetString(in.f, &word), 0);
    EXPECT_STREQ(strGet(word), "P5");
    int32_t w = 0, h = 0, max = 0;
    EXPECT_EQ(magicGetInt(in.f, &w), 0);
    EXPECT_EQ(magicGetInt(in.f, &h), 0);
    EXPECT_EQ(magicGetInt(in.f, &max), 0);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(max, 255);
    EXPECT_EQ(comment(), " made by hand\n");
    EXPECT_EQ(in.rest(), "DATA");
    strFree(word);
}

TEST(Magic, IntegerRules) {
    magicStart();
    int32_t v = -7;
    {
        Stream in("  42 x");
        EXPECT_EQ(magicGetInt(in.f, &v), 0);
        EXPECT_EQ(v, 42);
        EXPECT_EQ(in.rest(), "x");
    }
    {
        Stream in("42");
        v = -7;
        EXPECT_EQ(magicGetInt(in.f, &v), -1);
        EXPECT_EQ(v, -7);
    }
    for (const char *bad : {"-5 ", "+5 ", "x1 ", "", "  \n\t "}) {
        Stream in(bad);
        EXPECT_EQ(magicGetInt(in.f, &v), -1) << bad;
        EXPECT_EQ(v, -7);
    }
    {
        Stream in("7\r\n8x");
        EXPECT_EQ(magicGetInt(in.f, nullptr), 0);
        EXPECT_EQ(magicGetInt(in.f, &v), 0);
        EXPECT_EQ(v, 8);
    }
}

TEST(Magic, IntegerLimits) {
    magicStart();
    int32_t v = -7;
    {
        Stream in("2147483647 ");
        EXPECT_EQ(magicGetInt(in.f, &v), 0);
        EXPECT_EQ(v, 2147483647);
    }
    v = -7;
    for (const char *big : {"2147483648 rest", "99999999999999999999999 rest", "4294967296 rest"}) {
        Stream in(big);
        EXPECT_EQ(magicGetInt(in.f, &v), -1) << big;
        EXPECT_EQ(v, -7);
        EXPECT_EQ(in.rest(), "rest"); // the whole number was consumed
    }
}

TEST(Magic, CommentInsideANumberEndsIt) {
    Stream in("12#c\n7");
    magicStart();
    int32_t v = 0;
    EXPECT_EQ(magicGetInt(in.f, &v), 0);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(comment(), "c\n");
    EXPECT_EQ(magicGetInt(in.f, &v), -1);
    EXPECT_EQ(v, 12);
}

TEST(Magic, CommentInsideAWordEndsIt) {
    Stream in("P5#x\nrest");
    magicStart();
    adtStringHeader *word = nullptr;
    EXPECT_EQ(magicGetString(in.f, &word), 0);
    EXPECT_STREQ(strGet(word), "P5");
    EXPECT_EQ(comment(), "x\n");
    EXPECT_EQ(in.rest(), "rest");
    strFree(word);
}

TEST(Magic, StringRules) {
    magicStart();
    adtStringHeader *word = nullptr;
    {
        Stream in("\t word\nrest");
        EXPECT_EQ(magicGetString(in.f, &word), 0);
        EXPECT_STREQ(strGet(word), "word");
        EXPECT_EQ(in.rest(), "rest");
    }
    {
        Stream in("word");
        EXPECT_EQ(magicGetString(in.f, &word), -1);
        EXPECT_STREQ(strGet(word), "word");
    }
    {
        Stream in("   ");
        EXPECT_EQ(magicGetString(in.f, &word), -1);
        EXPECT_STREQ(strGet(word), "");
    }
    {
        Stream in("\xe9t\xe9 x"); // bytes above 127 are ordinary characters
        EXPECT_EQ(magicGetString(in.f, &word), 0);
        EXPECT_STREQ(strGet(word), "\xe9t\xe9");
    }
    EXPECT_EQ(magicGetString(nullptr, &word), -1);
    Stream in("x ");
    EXPECT_EQ(magicGetString(in.f, nullptr), -1);
    strFree(word);
}

TEST(Magic, FloatRules) {
    magicStart();
    float f = -1.0f;
    {
        Stream in("2.5e1 ");
        EXPECT_EQ(magicGetFloat(in.f, &f), 0);
        EXPECT_EQ(f, 25.0f);
    }
    {
        Stream in("1.5abc ");
        EXPECT_EQ(magicGetFloat(in.f, &f), 0);
        EXPECT_EQ(f, 1.5f);
    }
    {
        Stream in("abc ");
        f = -1.0f;
        EXPECT_EQ(magicGetFloat(in.f, &f), -1);
        EXPECT_EQ(f, -1.0f);
    }
    {
        Stream in("-3.25\r\n");
        EXPECT_EQ(magicGetFloat(in.f, &f), 0);
        EXPECT_EQ(f, -3.25f);
    }
    {
        Stream in("4.5");
        f = -1.0f;
        EXPECT_EQ(magicGetFloat(in.f, &f), -1);
        EXPECT_EQ(f, -1.0f);
    }
}

TEST(Magic, CommentsAccumulateUntilTheNextStart) {
    Stream in("#a\n#b\nP6 #one\n#two\n");
    magicStart();
    adtStringHeader *word = nullptr;
    EXPECT_EQ(magicGetString(in.f, &word), 0);
    EXPECT_STREQ(strGet(word), "P6");
    EXPECT_EQ(comment(), "a\nb\n");
    EXPECT_EQ(magicGetString(in.f, &word), -1);
    EXPECT_EQ(comment(), "a\nb\none\ntwo\n");
    magicStart();
    EXPECT_EQ(comment(), "");
    strFree(word);
}

TEST(Magic, CommentRunningToEndOfFileKeepsItsText) {
    Stream in("#unterminated");
    magicStart();
    EXPECT_EQ(magicGetChar(in.f), -1);
    EXPECT_EQ(comment(), "unterminated");
}

TEST(Magic, CharactersAndEndOfFile) {
    Stream in("a\r#x\n\xff");
    EXPECT_EQ(magicGetChar(in.f), 'a');
    EXPECT_EQ(magicGetChar(in.f), '\r');
    EXPECT_EQ(magicGetChar(in.f), '\n');
    EXPECT_EQ(magicGetChar(in.f), 255);
    EXPECT_EQ(magicGetChar(in.f), -1);
    EXPECT_EQ(magicGetChar(nullptr), -1);
}

TEST(MagicAllocFailure, ReadersFailCleanlyWhenMemoryRunsOut) {
    magicStart(); // the module's comment string exists from here on
    // A comment character that cannot be stored is dropped; reading goes on.
    each_allocation_failure([](FailPoint &fp) {
        Stream in(std::string("#") + std::string(150, 'c') + "\n5 ");
        magicStart();
        int32_t v = 0;
        fp.arm();
        const int32_t r = magicGetInt(in.f, &v);
        fp.fired();
        EXPECT_EQ(r, 0);
        EXPECT_EQ(v, 5);
    });
    // A word buffer that cannot be created or grown fails the read.
    each_allocation_failure([](FailPoint &fp) {
        Stream in("averyveryverylongword ");
        adtStringHeader *word = nullptr;
        fp.arm();
        const int32_t r = magicGetString(in.f, &word);
        if (fp.fired()) {
            EXPECT_EQ(r, -1);
        } else {
            EXPECT_STREQ(strGet(word), "averyveryverylongword");
        }
        strFree(word);
    });
    each_failure_gives_null([] { return magicComment(); }, [](auto *c) { strFree(c); });
}

// Reading is linear in the header's length: a comment of megabytes is read in one pass (the
// benchmark measures it), and whole.
TEST(Magic, LongCommentsAreReadWhole) {
    std::string text(2000000, 'c');
    for (std::size_t i = 1000; i < text.size(); i += 1000) text[i] = '\n', text[i + 1] = '#';
    Stream in("#" + text + "\nP5 ");
    ASSERT_EQ(magicStart(), 0);
    adtStringHeader *word = nullptr;
    ASSERT_EQ(magicGetString(in.f, &word), 0);
    EXPECT_STREQ(strGet(word), "P5");
    std::string expected = text + "\n";
    std::string folded;
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (!(expected[i] == '#' && i > 0 && expected[i - 1] == '\n')) folded += expected[i];
    EXPECT_EQ(comment(), folded);
    strFree(word);
}

// No format needs a word of more than 4,096 characters; a longer one fails the read, which
// also ends an endless stream of NUL bytes.
TEST(Magic, OverlongWordsFail) {
    adtStringHeader *word = nullptr;
    Stream ok(std::string(4096, 'w') + " ");
    EXPECT_EQ(magicGetString(ok.f, &word), 0);
    EXPECT_EQ(strLen(word), 4096);
    Stream longer(std::string(4097, 'w') + " ");
    EXPECT_EQ(magicGetString(longer.f, &word), -1);
    cookie_io_functions_t zeros{};
    zeros.read = [](void *, char *buf, size_t n) -> ssize_t {
        std::memset(buf, 0, n);
        return static_cast<ssize_t>(n);
    };
    FILE *endless = fopencookie(nullptr, "r", zeros);
    EXPECT_EQ(magicGetString(endless, &word), -1);
    float f = 0;
    EXPECT_EQ(magicGetFloat(endless, &f), -1);
    std::fclose(endless);
    strFree(word);
}

// A comment piece that cannot be stored is dropped and reading goes on, but nothing hands out
// the damaged comment: the copy is refused, so loaders fail instead of losing text.
TEST(MagicAllocFailure, ADamagedCommentIsNeverHandedOut) {
    const std::string text = "#" + std::string(300, 'c') + "\n7 ";
    magicStart(); // the module's comment string exists from here on
    each_allocation_failure([&](FailPoint &fp) {
        Stream in(text);
        magicStart();
        int32_t v = 0;
        fp.arm();
        const int32_t r = magicGetInt(in.f, &v);
        fp.fired();
        EXPECT_EQ(r, 0);
        EXPECT_EQ(v, 7);
        adtStringHeader *c = magicComment();
        if (c) {
            EXPECT_EQ(std::string(strGet(c)), std::string(300, 'c') + "\n");
        }
        strFree(c);
    });
}
