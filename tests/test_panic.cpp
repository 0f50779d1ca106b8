#include <tessera/panic.h>

#include "support/check.h"
#include "support/test_support.h"

using namespace tessera::test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(Panic, NonFatalPrintsThreeLinesAndReturns) {
    CaptureStderr();
    _panic("Panic", "bad image tag", "$Id: x $", 42, "image.cpp", 0);
    EXPECT_EQ(GetCapturedStderr(),
              "\nPanic:   bad image tag\n         In line 42 of image.cpp\n         RCS: $Id: x $\n\n");
}

TEST(Panic, IndentFollowsTheNameLength) {
    CaptureStderr();
    _panic("", "m", "r", 7, "f", 0);
    EXPECT_EQ(GetCapturedStderr(), "\n:   m\n    In line 7 of f\n    RCS: r\n\n");
    CaptureStderr();
    _panic("Ab", "m", "r\n", -3, "f", 0);
    EXPECT_EQ(GetCapturedStderr(), "\nAb:   m\n      In line -3 of f\n      RCS: r\n\n\n");
}

TEST(PanicDeathTest, FatalExitsWithStatusOneAfterTheReport) {
    EXPECT_EXIT(_panic("Panic", "boom", "rcs", 9, "file.c", 1), testing::ExitedWithCode(1),
                "^" + literal("\nPanic:   boom\n         In line 9 of file.c\n         RCS: rcs\n\n") + "$");
}

TEST(PanicDeathTest, FatalFlushesStandardOutput) {
    // exit handlers run, so buffered output reaches its destination
    EXPECT_EXIT(
        {
            std::fputs("pending", stderr);
            _panic("Panic", "x", "r", 1, "f", 1);
        },
        testing::ExitedWithCode(1), "^pending\nPanic");
}

TEST(CheckDeathTest, ReportsTheExpressionFileAndLineThenAborts) {
    int *p = nullptr;
    EXPECT_EXIT(TESSERA_CHECK(p != (int *)NULL), testing::KilledBySignal(SIGABRT),
                              assertion("p != (int *)NULL", "test_panic.cpp"));
    EXPECT_EXIT(TESSERA_CHECK(0), testing::KilledBySignal(SIGABRT), assertion("0", "test_panic.cpp"));
}
