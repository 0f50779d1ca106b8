#include <tessera/adt_strings.h>

#include <string>

#include "support/test_support.h"

using namespace tessera::test;

namespace {
// Frees the string when the test scope ends.
struct Str {
    adtStringHeader *s = nullptr;
    Str() = default;
    explicit Str(adtStringHeader *p) : s(p) {}
    ~Str() { strFree(s); }
};
} // namespace

TEST(Strings, NewCapacityRules) {
    Str a(strNew(0)), b(strNew(-5)), c(strNew(1)), d(strNew(37));
    EXPECT_EQ(strMaxLen(a.s), 10);
    EXPECT_EQ(strMaxLen(b.s), 10);
    EXPECT_EQ(strMaxLen(c.s), 1);
    EXPECT_EQ(strMaxLen(d.s), 37);
    EXPECT_EQ(strLen(d.s), 0);
    EXPECT_STREQ(strGet(d.s), "");
}

TEST(Strings, MakeAndNewCopy) {
    Str e(strMake("")), t(strMake("hello"));
    EXPECT_EQ(strMaxLen(e.s), 10);
    EXPECT_EQ(strMaxLen(t.s), 5);
    EXPECT_STREQ(strGet(t.s), "hello");
    EXPECT_EQ(strMake(nullptr), nullptr);
    Str c(strNewCopy(t.s));
    EXPECT_NE(c.s, t.s);
    EXPECT_NE(strGet(c.s), strGet(t.s));
    EXPECT_STREQ(strGet(c.s), "hello");
    EXPECT_EQ(strNewCopy(nullptr), nullptr);
    Str ce(strNewCopy(e.s));
    EXPECT_EQ(strMaxLen(ce.s), 10);
}

TEST(Strings, InitAndCopyIntoPointers) {
    adtStringHeader *p = nullptr;
    EXPECT_EQ(strInit_(&p, nullptr), nullptr);
    EXPECT_EQ(p, nullptr);
    Str owner;
    EXPECT_EQ(strCopy_(&owner.s, nullptr), owner.s);
    EXPECT_EQ(strMaxLen(owner.s), 10);
    EXPECT_STREQ(strGet(owner.s), "");
    adtStringHeader *before = owner.s;
    strInit_(&owner.s, "0123456789abc");
    EXPECT_EQ(owner.s, before); // the record stays, only the buffer grows
    EXPECT_EQ(strMaxLen(owner.s), 13);
    strInit_(&owner.s, "xy");
    EXPECT_EQ(strMaxLen(owner.s), 13); // never shrinks
    EXPECT_STREQ(strGet(owner.s), "xy");
    EXPECT_EQ(strInit_(&owner.s, nullptr), owner.s); // a null text clears
    EXPECT_EQ(strLen(owner.s), 0);
    Str src(strMake("source text"));
    strCopy_(&owner.s, src.s);
    EXPECT_STREQ(strGet(owner.s), "source text");
}

TEST(Strings, InitFromItsOwnTail) {
    Str s(strMake("abcdef"));
    strInit_(&s.s, strGet(s.s) + 2);
    EXPECT_STREQ(strGet(s.s), "cdef");
}

TEST(Strings, CatGrowthRules) {
    Str s(strNew(6));
    Str abc(strMake("abc"));
    strCat_(&s.s, abc.s);
    strCat_(&s.s, abc.s);
    EXPECT_EQ(strMaxLen(s.s), 6); // combined length equal to the capacity: no growth
    Str x(strMake("x"));
    strCat_(&s.s, x.s);
    EXPECT_EQ(strMaxLen(s.s), 14);
    EXPECT_STREQ(strGet(s.s), "abcabcx");
    EXPECT_EQ(strCat_(&s.s, nullptr), s.s);
    EXPECT_STREQ(strGet(s.s), "abcabcx");
}

TEST(Strings, CatIntoNullCreatesExactCapacity) {
    Str a, b, c;
    Str src(strMake("four"));
    strCat_(&a.s, src.s);
    EXPECT_EQ(strMaxLen(a.s), 4);
    EXPECT_STREQ(strGet(a.s), "four");
    Str empty(strMake(""));
    strCat_(&b.s, empty.s);
    EXPECT_EQ(strMaxLen(b.s), 10);
    strCat_(&c.s, nullptr);
    EXPECT_EQ(strMaxLen(c.s), 10);
}

TEST(Strings, CatOfAStringToItselfDoublesItsText) {
    Str s(strMake("ab"));
    strCat_(&s.s, s.s);
    EXPECT_STREQ(strGet(s.s), "abab");
    Str roomy(strNew(20));
    strInit_(&roomy.s, "xyz");
    strCat_(&roomy.s, roomy.s); // no growth needed
    EXPECT_STREQ(strGet(roomy.s), "xyzxyz");
    EXPECT_EQ(strMaxLen(roomy.s), 20);
}

TEST(Strings, AddCharGrowthRules) {
    Str s;
    strAddChar_(&s.s, 'a');
    EXPECT_EQ(strMaxLen(s.s), 20);
    for (int i = 1; i < 20; ++i) strAddChar_(&s.s, 'a');
    EXPECT_EQ(strMaxLen(s.s), 20);
    strAddChar_(&s.s, 'b'); // the 21st character
    EXPECT_EQ(strMaxLen(s.s), 40);
    EXPECT_EQ(strLen(s.s), 21);
    strAddChar_(&s.s, '\0');
    EXPECT_EQ(strLen(s.s), 21);
}

TEST(Strings, AddCharOnCapacityZeroStillAppends) {
    Str s(strMake(""));
    ASSERT_EQ(strNewLen_(&s.s, 0), 0);
    EXPECT_EQ(strMaxLen(s.s), 0);
    EXPECT_EQ(strAddChar_(&s.s, 'q'), s.s);
    EXPECT_STREQ(strGet(s.s), "q");
    EXPECT_GE(strMaxLen(s.s), 1);
}

TEST(Strings, NewLenRules) {
    Str s(strMake("hello"));
    EXPECT_EQ(strNewLen_(&s.s, 5), 0);
    EXPECT_EQ(strMaxLen(s.s), 5);
    EXPECT_EQ(strNewLen_(&s.s, 4), 1);
    EXPECT_EQ(strMaxLen(s.s), 5);
    EXPECT_STREQ(strGet(s.s), "hello");
    EXPECT_EQ(strNewLen_(&s.s, 50), 0);
    EXPECT_EQ(strMaxLen(s.s), 50);
    EXPECT_STREQ(strGet(s.s), "hello");
    EXPECT_EQ(strNewLen_(&s.s, -1), 1);
    Str n;
    EXPECT_EQ(strNewLen_(&n.s, 0), 0);
    EXPECT_EQ(strMaxLen(n.s), 10);
}

TEST(Strings, CompareAsUnsignedBytes) {
    Str empty(strMake("")), ab(strMake("ab")), abc(strMake("abc"));
    Str hi(strMake("\xc8")), lo(strMake("\x64"));
    EXPECT_EQ(strCmp(nullptr, empty.s), 0);
    EXPECT_EQ(strCmp(nullptr, nullptr), 0);
    EXPECT_EQ(strCmp(ab.s, abc.s), -1);
    EXPECT_EQ(strCmp(abc.s, ab.s), 1);
    EXPECT_EQ(strCmp(ab.s, ab.s), 0);
    EXPECT_EQ(strCmp(hi.s, lo.s), 1);
    EXPECT_EQ(strCmp(nullptr, ab.s), -1);
}

TEST(Strings, NullIsEmpty) {
    EXPECT_EQ(strLen(nullptr), 0);
    EXPECT_EQ(strMaxLen(nullptr), 0);
    ASSERT_NE(strGet(nullptr), nullptr);
    EXPECT_STREQ(strGet(nullptr), "");
    EXPECT_EQ(strClear(nullptr), nullptr);
    EXPECT_EQ(strRef(nullptr, 12345), '\0');
    strFree(nullptr);
}

TEST(Strings, RefReadsUpToTheCapacity) {
    Str s(strNew(8));
    strInit_(&s.s, "abcdefg");
    strInit_(&s.s, "abc");
    EXPECT_EQ(strRef(s.s, 0), 'a');
    EXPECT_EQ(strRef(s.s, 3), '\0');
    EXPECT_EQ(strRef(s.s, 5), 'f'); // past the text: what the buffer still holds
    EXPECT_EQ(strRef(s.s, 7), '\0');
    strClear(s.s);
    EXPECT_EQ(strLen(s.s), 0);
    EXPECT_EQ(strMaxLen(s.s), 8);
}

TEST(StringsDeathTest, RefOutsideTheCapacityFails) {
    Str s(strMake("abcd"));
    EXPECT_EXIT(strRef(s.s, 4), testing::KilledBySignal(SIGABRT), assertion("0", "adt_strings.cpp"));
    EXPECT_EXIT(strRef(s.s, -1), testing::KilledBySignal(SIGABRT), assertion("0", "adt_strings.cpp"));
}

TEST(StringsAllocFailure, ConstructorsGiveNullAndLeakNothing) {
    EXPECT_EQ(each_failure_gives_null([] { return strNew(5); }, [](auto *s) { strFree(s); }), 2);
    EXPECT_EQ(each_failure_gives_null([] { return strMake("text"); }, [](auto *s) { strFree(s); },
                                      [&](auto *s) { EXPECT_STREQ(strGet(s), "text"); }),
              2);
    Str src(strMake("copy me"));
    EXPECT_EQ(each_failure_gives_null([&] { return strNewCopy(src.s); }, [](auto *s) { strFree(s); }), 2);
}

TEST(StringsAllocFailure, UnderscoreOperationsKeepTheCallersString) {
    Str tail(strMake("0123456789"));
    // Each case grows an existing string "abc" of capacity 3, then checks it is untouched on failure.
    using Op = adtStringHeader *(*)(adtStringHeader **, const adtStringHeader *);
    const Op ops[] = {
        [](adtStringHeader **p, const adtStringHeader *t) { return strCat_(p, t); },
        [](adtStringHeader **p, const adtStringHeader *t) { return strCopy_(p, t); },
        [](adtStringHeader **p, const adtStringHeader *t) { return strInit_(p, strGet(t)); },
        [](adtStringHeader **p, const adtStringHeader *) { return strAddChar_(p, 'x'); },
        [](adtStringHeader **p, const adtStringHeader *) { return strNewLen_(p, 30) == 0 ? *p : nullptr; },
        [](adtStringHeader **p, const adtStringHeader *) { return strCat_(p, *p); },
    };
    for (Op op : ops) {
        EXPECT_EQ(each_allocation_failure([&](FailPoint &fp) {
                      adtStringHeader *s = strMake("abc");
                      adtStringHeader *const record = s;
                      char *const buffer = s->chars;
                      fp.arm();
                      adtStringHeader *r = op(&s, tail.s);
                      if (fp.fired()) {
                          EXPECT_EQ(r, nullptr);
                          EXPECT_EQ(s, record);
                          EXPECT_EQ(s->chars, buffer);
                          EXPECT_EQ(strMaxLen(s), 3);
                          EXPECT_STREQ(strGet(s), "abc");
                      } else {
                          EXPECT_EQ(r, s);
                      }
                      strFree(s);
                  }),
                  1);
    }
}

TEST(StringsAllocFailure, CreationThroughANullPointerLeavesItNull) {
    Str src(strMake("abc"));
    const auto create = [&](int which, adtStringHeader **p) -> adtStringHeader * {
        switch (which) {
        case 0: return strCat_(p, src.s);
        case 1: return strCopy_(p, src.s);
        case 2: return strAddChar_(p, 'c');
        default: return strNewLen_(p, 4) == 0 ? *p : nullptr;
        }
    };
    for (int which = 0; which < 4; ++which) {
        EXPECT_EQ(each_allocation_failure([&](FailPoint &fp) {
                      adtStringHeader *s = nullptr;
                      fp.arm();
                      adtStringHeader *r = create(which, &s);
                      if (fp.fired()) {
                          EXPECT_EQ(r, nullptr);
                          EXPECT_EQ(s, nullptr);
                      }
                      strFree(s);
                  }),
                  2);
    }
}
