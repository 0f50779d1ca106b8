#include <tessera/magic.h>
#include <tessera/ptl.h>

#include <sys/stat.h>
#include <tessera/error.h>

#include <cmath>
#include <string>
#include <vector>

#include "ptl/ptl_internal.h"
#include "support/test_support.h"

using namespace tessera::test;

namespace {

const RGB red{255, 0, 0}, white{255, 255, 255};

std::string saved(PointList ptl) {
    TempFile f;
    EXPECT_EQ(ptlSave(ptl, f.path()), 0);
    return f.read();
}

PointList loaded(const std::string &text) {
    TempFile f(text);
    return ptlLoad(f.path());
}

std::vector<PointListElem> elements(PointList ptl) {
    std::vector<PointListElem> out;
    for (_ListNode *n = liFirst(ptl->elements); n; n = liNext(n)) out.push_back(static_cast<PointListElem>(liGet(n)));
    return out;
}

struct Owned {
    PointList p;
    explicit Owned(PointList q) : p(q) {}
    ~Owned() {
        if (p) ptlFree(p);
    }
};

} // namespace

TEST(PointList, NewRejectsEmptyBoundsAndTakesTheComment) {
    EXPECT_EQ(ptlNew(false, 0, 0, 0, 5, nullptr), nullptr);
    EXPECT_EQ(ptlNew(false, 0, 0, 5, -1, nullptr), nullptr);
    EXPECT_EQ(ptlNew(false, 0, 0, std::nanf(""), 5, nullptr), nullptr);
    adtStringHeader *c = strMake("mine");
    Owned l(ptlNew(true, -1.5f, 2, 10, 20, c));
    ASSERT_NE(l.p, nullptr);
    EXPECT_EQ(l.p->comment, c);
    EXPECT_TRUE(l.p->color);
    EXPECT_EQ(l.p->x, -1.5f);
    EXPECT_EQ(liLen(l.p->elements), 0u);
}

TEST(PointList, ElementsAreSetByType) {
    EXPECT_EQ(ptlNewElem(0, red, 1, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(ptlNewElem(5, red, 1, 0, 0, 0, 0), nullptr);
    PointListElem e = ptlNewElem(PTL_LINE, red, -3, 1, 2, 3, 4);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 0.0f);
    EXPECT_EQ(e->x2, 3.0f);
    EXPECT_EQ(ptlSetElem(e, PTL_POINT, white, std::nanf(""), 5, 6, 7, 8), 0);
    EXPECT_EQ(e->size, 0.0f);
    EXPECT_EQ(e->x1, 5.0f);
    EXPECT_EQ(e->x2, 3.0f); // points leave the second pair alone
    EXPECT_EQ(ptlSetElem(e, 9, red, 1, 0, 0, 0, 0), -1);
    EXPECT_EQ(e->type, PTL_POINT);
    ptlFreeElem(e);
    ptlFreeElem(nullptr);
}

TEST(PointList, WrittenTextOfEveryElementType) {
    // every line feed of the comment is marked, also before a '#' of the text
    Owned l(ptlNew(true, 0, 0, 10, 5, strMake("a\nb\n#c")));
    ptlAddElem(l.p, ptlNewElem(PTL_POINT, RGB{1, 2, 3}, 0, 1, 2, 0, 0));
    ptlAddElem(l.p, ptlNewElem(PTL_LINE, RGB{255, 0, 16}, 1.5f, 1, 2, 3, 4));
    ptlAddElem(l.p, ptlNewElem(PTL_ELLIPSE, RGB{0, 0, 0}, 2, 5, 5, 2, 1));
    ptlAddElem(l.p, ptlNewElem(PTL_FILL, white, 0, 0.1234567f, 9, 0, 0));
    EXPECT_EQ(saved(l.p), "CPTL 0.000000 0.000000 10.000000 5.000000\n\n"
                          "#a\n#b\n##c\n\n"
                          "p\t1.000000 2.000000\t0x010203\n"
                          "1.500000l\t1.000000 2.000000 3.000000 4.000000\t0xff0010\n"
                          "2.000000e\t5.000000 5.000000 2.000000 1.000000\t0x000000\n"
                          "f\t0.123457 9.000000\t0xffffff\n");
    l.p->color = false;
    strFree(l.p->comment);
    l.p->comment = nullptr;
    const std::string plain = saved(l.p);
    EXPECT_EQ(plain.substr(0, 48), "PTL 0.000000 0.000000 10.000000 5.000000\n\n#\n\np\t1");
    EXPECT_NE(plain.find("2.000000 1.000000\n"), std::string::npos);
}

TEST(PointList, RoundTripsKeepElementsAndColours) {
    Owned l(ptlNew(true, -2, 1, 10, 5, strMake("comment")));
    ptlAddElem(l.p, ptlNewElem(PTL_ELLIPSE, RGB{10, 20, 30}, 2, 5, 5, 2, 1));
    ptlAddElem(l.p, ptlNewElem(PTL_POINT, RGB{200, 100, 50}, 0, 0.1234567f, 1, 0, 0));
    Owned back(loaded(saved(l.p)));
    ASSERT_NE(back.p, nullptr);
    EXPECT_TRUE(back.p->color);
    EXPECT_EQ(back.p->x, -2.0f);
    EXPECT_STREQ(strGet(back.p->comment), "comment"); // the block after the header is the comment
    const auto e = elements(back.p);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0]->type, PTL_ELLIPSE);
    EXPECT_EQ(e[0]->size, 2.0f);
    EXPECT_EQ(e[0]->color.g, 20);
    EXPECT_EQ(e[1]->x1, 0.123457f);
    EXPECT_EQ(e[1]->size, 0.0f);
    l.p->color = false;
    Owned plain(loaded(saved(l.p)));
    for (PointListElem el : elements(plain.p))
        EXPECT_TRUE(el->color.r == 255 && el->color.g == 255 && el->color.b == 255);
    Owned empty(ptlNew(false, 0, 0, 1, 1, nullptr));
    Owned empty_back(loaded(saved(empty.p)));
    ASSERT_NE(empty_back.p, nullptr);
    EXPECT_EQ(liLen(empty_back.p->elements), 0u);
}

TEST(PointList, ReaderRules) {
    Owned l(loaded("# before\nCPTL # in between\n 1 2\n3 4\n"
                   "   \t\n"
                   "# a comment line\n"
                   "  P\t1 2\t0x00ff00\n"
                   "-4l 1 2 3 4 255\n"
                   "3E\t0 0 5 5 -1 trailing words\n"
                   "F 7 8 0x1ff00ff\n"
                   "p\t1 2 010\n"));
    ASSERT_NE(l.p, nullptr);
    EXPECT_EQ(l.p->width, 3.0f);
    // comment lines before the first element belong to the comment; the last line break of
    // such a block is the writer's and is dropped
    EXPECT_STREQ(strGet(l.p->comment), " before\n in between\n a comment line");
    const auto e = elements(l.p);
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0]->type, PTL_POINT);
    EXPECT_EQ(e[0]->color.g, 255);
    EXPECT_EQ(e[1]->type, PTL_LINE);
    EXPECT_EQ(e[1]->size, 0.0f); // a negative leading number reads as size 0
    EXPECT_EQ(e[1]->color.b, 255);
    EXPECT_EQ(e[2]->type, PTL_ELLIPSE);
    EXPECT_EQ(e[2]->size, 3.0f);
    EXPECT_TRUE(e[2]->color.r == 255 && e[2]->color.g == 255 && e[2]->color.b == 255); // -1 is white
    EXPECT_EQ(e[3]->type, PTL_FILL);
    EXPECT_TRUE(e[3]->color.r == 255 && e[3]->color.g == 0 && e[3]->color.b == 255); // low 24 bits only
    EXPECT_EQ(e[4]->color.b, 8);                                                     // octal
}

TEST(PointList, LongLinesAreReadWhole) {
    // A physical line is one line however long: runs of blanks read as one blank, text after
    // the last number is ignored, and a long comment line stays a comment.
    Owned l(loaded("PTL 0 0 1 1\np 1 2" + std::string(300, ' ') + "x\n"));
    ASSERT_NE(l.p, nullptr);
    EXPECT_EQ(liLen(l.p->elements), 1u);
    Owned spaced(loaded("PTL 0 0 1 1\n" + std::string(400, ' ') + "l 1" + std::string(500, '\t') + "2 3 4\n"));
    ASSERT_NE(spaced.p, nullptr);
    EXPECT_EQ(elements(spaced.p)[0]->y2, 4.0f);
    Owned remark(loaded("PTL 0 0 1 1\np 1 2\n#" + std::string(1000, 'c') + " p 1 2\n"));
    ASSERT_NE(remark.p, nullptr);
    EXPECT_EQ(liLen(remark.p->elements), 1u);
    // an element line whose text (blanks folded) does not fit the reader is an error
    EXPECT_EQ(loaded("PTL 0 0 1 1\np 1 2 " + std::string(5000, '7') + "\n"), nullptr);
}

TEST(PointList, SavedListsLoadAgainAlike) {
    const char *comments[] = {"", "one line", "two\nlines\n", " lead\n#hash\n\nblank\n", "x\n##y\r##z\n", "\r\n#\r"};
    for (const char *c : comments) {
        Owned l(ptlNew(true, -2, 1, 10, 5, *c ? strMake(c) : nullptr));
        ptlAddElem(l.p, ptlNewElem(PTL_LINE, RGB{1, 2, 3}, 1e-8f, 1, 2, 3, 4)); // a size written as 0
        const std::string first = saved(l.p);
        Owned back(loaded(first));
        ASSERT_NE(back.p, nullptr) << c;
        EXPECT_EQ(saved(back.p), first) << c;
    }
}

TEST(PointList, BoundsThatWouldNotLoadAgainAreNotSaved) {
    for (const float w : {4e-7f, std::nanf("")}) {
        Owned l(ptlNew(false, 0, 0, 1, 1, nullptr));
        l.p->width = w;
        TempFile f;
        EXPECT_EQ(ptlSave(l.p, f.path()), -1) << w;
        std::FILE *out = std::tmpfile();
        EXPECT_EQ(ptlWriteHeader(out, false, 0, 0, 1, w, nullptr), -1) << w;
        EXPECT_EQ(std::ftell(out), 0); // nothing written
        std::fclose(out);
    }
    Owned narrow(ptlNew(false, 0, 0, 6e-7f, 1, nullptr));
    Owned back(loaded(saved(narrow.p)));
    ASSERT_NE(back.p, nullptr);
    EXPECT_EQ(back.p->width, 1e-6f);
}

// Comments come back as they were written, carriage returns included, and a save that fails
// leaves the file it would have replaced as it was, with a reason.
TEST(PointList, SavingKeepsCommentsAndNeverDamagesAFile) {
    for (const char *c : {"a\r\nb", "a\rb\n", "one\r\n#two\r\n", "\r", "x\r\r\ny"}) {
        Owned l(ptlNew(false, 0, 0, 4, 4, strMake(c)));
        TempFile f;
        ASSERT_EQ(ptlSave(l.p, f.path()), 0);
        Owned back(ptlLoad(f.path()));
        ASSERT_NE(back.p, nullptr) << c;
        EXPECT_STREQ(strGet(back.p->comment), c);
    }
    TempFile old("an older drawing\n");
    ASSERT_EQ(chmod(old.path(), 0640), 0);
    Owned refused(ptlNew(false, 0, 0, 1, 1, nullptr));
    refused.p->width = 4e-7f;
    EXPECT_EQ(ptlSave(refused.p, old.path()), -1);
    EXPECT_NE(std::string(tessera_last_error()).find("would not read back"), std::string::npos);
    EXPECT_EQ(old.read(), "an older drawing\n");
    Owned good(ptlNew(true, 0, 0, 1, 1, nullptr));
    ASSERT_EQ(ptlSave(good.p, old.path()), 0);
    struct stat st;
    ASSERT_EQ(stat(old.path(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u); // replaced, keeping its mode
    EXPECT_EQ(old.read().rfind("CPTL", 0), 0u);
    EXPECT_EQ(ptlSave(good.p, "/nonexistent-dir/x.cptl"), -1);
    EXPECT_NE(std::string(tessera_last_error()).find("/nonexistent-dir/x.cptl"), std::string::npos);
}

TEST(PointList, BadLinesAndHeadersGiveNull) {
    for (const char *bad : {"PTL 0 0 1 1\nx 1 2\n", "PTL 0 0 1 1\np 1\n", "PTL 0 0 1 1\nl 1 2 3\n",
                            "CPTL 0 0 1 1\np 1 2\n", "CPTL 0 0 1 1\np 1 2 zz\n", "PTL 0 0 0 1\n", "PTL 0 0 1 -1\n",
                            "ptl 0 0 1 1\n", "PTL 0 0 1\n", "PTL 0 0 1 x\n", "XPTL 0 0 1 1\n", "", "PTL 0 0 1 1"}) {
        EXPECT_EQ(loaded(bad), nullptr) << bad;
    }
    Owned ignored(loaded("PTL 0 0 1 1\np 1 2 0xff0000\n"));
    ASSERT_NE(ignored.p, nullptr); // a colour on a plain list's line is ignored
    EXPECT_EQ(elements(ignored.p)[0]->color.g, 255);
}

TEST(PointList, GetElemReportsErrorsAndEnd) {
    FILE *f = stream_of("p 1 2\nq 1 2\n\n");
    bool error = true;
    PointListElemStruct own{};
    EXPECT_EQ(ptlGetElem(&own, false, f, &error), &own);
    EXPECT_FALSE(error);
    EXPECT_EQ(ptlGetElem(&own, false, f, &error), nullptr);
    EXPECT_TRUE(error);
    EXPECT_EQ(ptlGetElem(&own, false, f, &error), nullptr);
    EXPECT_FALSE(error);
    std::fclose(f);
}

TEST(PointList, OpenFailures) {
    Owned l(ptlNew(false, 0, 0, 1, 1, nullptr));
    EXPECT_EQ(ptlSave(l.p, "/nonexistent-dir/x.ptl"), -1);
    EXPECT_EQ(ptlLoad("/nonexistent-dir/x.ptl"), nullptr);
    EXPECT_EQ(ptlWriteHeader(nullptr, false, 0, 0, 1, 1, nullptr), -1);
    PointListElemStruct bad{};
    bad.type = 7;
    EXPECT_EQ(ptlPutElem(&bad, false, stdout), -1);
}

TEST(PointListAllocFailure, ConstructionAndLoadingLeaveNothing) {
    ptlFree(ptlNew(false, 0, 0, 1, 1, nullptr)); // the module chunks exist from here on
    ptlFreeElem(ptlNewElem(PTL_POINT, red, 1, 0, 0, 0, 0));
    magicStart();
    each_failure_gives_null([] { return ptlNew(false, 0, 0, 1, 1, nullptr); }, [](auto *l) { ptlFree(l); });
    const std::string text = "CPTL 0 0 4 4\n# a comment that is long enough\np 1 2 3\nl 1 2 3 4 5\ne 1 1 2 2 0\n";
    TempFile f(text);
    ptlFree(ptlLoad(f.path())); // the reader's own buffers exist from here on
    each_allocation_failure([&](FailPoint &fp) {
        fp.arm();
        PointList l = ptlLoad(f.path());
        if (fp.fired()) {
            EXPECT_EQ(l, nullptr);
        } else {
            EXPECT_EQ(liLen(l->elements), 3u);
        }
        if (l) ptlFree(l);
    });
    Owned list(ptlNew(false, 0, 0, 1, 1, nullptr));
    each_allocation_failure([&](FailPoint &fp) {
        PointListElem e = ptlNewElem(PTL_POINT, red, 1, 0, 0, 0, 0);
        fp.arm();
        ptlAddElem(list.p, e);
        if (fp.fired()) {
            EXPECT_EQ(liLen(list.p->elements), 0u);
            ptlFreeElem(e); // still the caller's
        } else {
            liRem(liFirst(list.p->elements));
            ptlFreeElem(e);
        }
    });
}

TEST(PointListAllocFailure, ChunkCreationAndRefills) {
    using tessera::detail::elementchunk;
    using tessera::detail::pointlistchunk;
    const Chunk saved_elements = elementchunk, saved_lists = pointlistchunk;
    for (int prefill : {0, 1000}) {
        each_allocation_failure([&](FailPoint &fp) {
            elementchunk = pointlistchunk = NULLCHUNK; // fresh chunks: creation and refill are injected
            std::vector<PointListElem> kept;
            for (int i = 0; i < prefill; ++i) kept.push_back(ptlNewElem(PTL_POINT, red, 1, 0, 0, 0, 0));
            fp.arm();
            PointListElem e = ptlNewElem(PTL_FILL, red, 0, 1, 2, 0, 0);
            PointList l = ptlNew(false, 0, 0, 1, 1, nullptr);
            if (fp.fired()) {
                EXPECT_TRUE(e == nullptr || l == nullptr);
            }
            if (l) ptlFree(l);
            chNuke(elementchunk);
            chNuke(pointlistchunk);
        });
    }
    elementchunk = saved_elements;
    pointlistchunk = saved_lists;
}

TEST(PointListDeathTest, ChecksReportTheirTexts) {
    const auto abrt = testing::KilledBySignal(SIGABRT);
    const char *file = "ptl.cpp";
    // Before any list or element exists, even a null release fails its check.
    EXPECT_EXIT(
        {
            tessera::detail::pointlistchunk = NULLCHUNK;
            ptlFree(nullptr);
        },
        abrt, assertion("pointlistchunk != NULLCHUNK", file));
    EXPECT_EXIT(
        {
            tessera::detail::elementchunk = NULLCHUNK;
            ptlFreeElem(nullptr);
        },
        abrt, assertion("elementchunk != NULLCHUNK", file));
    Owned l(ptlNew(false, 0, 0, 1, 1, nullptr));
    PointListElem e = ptlNewElem(PTL_POINT, red, 1, 0, 0, 0, 0);
    bool error;
    EXPECT_EXIT(ptlAddElem(nullptr, e), abrt,
                assertion("ptl != (PointList) NULL && elem != (PointListElem) NULL", file));
    EXPECT_EXIT(ptlAddElem(l.p, nullptr), abrt,
                assertion("ptl != (PointList) NULL && elem != (PointListElem) NULL", file));
    EXPECT_EXIT(ptlSetElem(nullptr, PTL_POINT, red, 0, 0, 0, 0, 0), abrt,
                assertion("elem != (PointListElem) NULL", file));
    EXPECT_EXIT(ptlLoadF(nullptr), abrt, assertion("fp != (FILE *) NULL", file));
    EXPECT_EXIT(ptlSave(nullptr, "x"), abrt, assertion("ptl != (PointList) NULL", file));
    EXPECT_EXIT(ptlSaveF(nullptr, stdout), abrt, assertion("ptl != (PointList) NULL", file));
    EXPECT_EXIT(ptlSaveF(l.p, nullptr), abrt, assertion("fp != (FILE *) NULL", file));
    EXPECT_EXIT(ptlGetElem(e, false, nullptr, &error), abrt, assertion("fp != (FILE *) NULL", file));
    ptlFreeElem(e);
}
