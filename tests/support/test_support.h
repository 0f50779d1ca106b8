// Shared helpers of the test suite: exact-text death-test patterns and allocation-failure
// injection over the library's allocation seam.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/alloc.h"

namespace tessera::test {

// An extended regular expression matching text literally.
std::string literal(const std::string &text);

// The whole standard-error output of a failed check of expr in the named source file.
std::string assertion(const std::string &expr, const std::string &file);

// The whole standard-error output of a fatal panic with msg raised from the named source file.
std::string panic_report(const std::string &msg, const std::string &file, const std::string &rcs);

// Handed to the body of an injection run: arm() right before the operation under test,
// fired() right after it.
class FailPoint {
  public:
    FailPoint(long n, bool every_after) : n_(n), every_after_(every_after) {}
    void arm() {
        detail::seam::arm(n_, every_after_);
        armed_ = true;
    }
    // Disarms; true when the armed allocation failed during the operation.
    bool fired() {
        fired_ = armed_ && detail::seam::fired();
        detail::seam::disarm();
        armed_ = false;
        return fired_;
    }
    bool delivered() const { return fired_; }
    long n() const { return n_; }

  private:
    long n_;
    bool every_after_;
    bool armed_ = false;
    bool fired_ = false;
};

// Runs body once for each allocation the operation makes, with that allocation failing (and
// once more with it and every later one failing), until a run makes no armed allocation fail.
// Checks that every run gives back all it allocated. Returns how many allocations the
// operation made when nothing failed.
template <class Body> long each_allocation_failure(Body body) {
    for (long n = 1; n < 1000000; ++n) {
        bool any_fired = false;
        for (bool every_after : {false, true}) {
            const long live_before = detail::seam::live();
            FailPoint fp(n, every_after);
            body(fp);
            detail::seam::disarm();
            EXPECT_EQ(detail::seam::live(), live_before)
                << "blocks leaked with allocation " << n << (every_after ? " and later ones" : "") << " failing";
            any_fired = any_fired || fp.delivered();
        }
        if (!any_fired) return n - 1;
    }
    ADD_FAILURE() << "operation never stopped allocating";
    return -1;
}

// The seed of a randomised test: TESSERA_TEST_SEED when set (to replay a failure), else the
// test's own. Use with SCOPED_TRACE so that every failure names it.
inline unsigned test_seed(unsigned fallback) {
    const char *s = std::getenv("TESSERA_TEST_SEED");
    return s ? static_cast<unsigned>(std::strtoul(s, nullptr, 10)) : fallback;
}

// The common injection body: make() runs between arm and fired; a run whose allocation failed
// must give null, any other run a result; release(result) gives back whatever was made.
// Returns the allocations make() needs, as each_allocation_failure does.
// check(result) runs on the results of runs where nothing failed.
template <class Make, class Release, class Check = void (*)(const void *)> long each_failure_gives_null(
    Make make, Release release, Check check = [](const void *) {}) {
    return each_allocation_failure([&](FailPoint &fp) {
        fp.arm();
        auto *result = make();
        if (fp.fired()) {
            EXPECT_EQ(result, nullptr);
        } else {
            EXPECT_NE(result, nullptr) << "null with no allocation failing";
            if (result) check(result);
        }
        if (result) release(result);
    });
}

// A temporary file holding the given bytes, removed when the object goes away.
class TempFile {
  public:
    explicit TempFile(const std::string &contents = "");
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const char *path() const { return path_.c_str(); }
    std::string read() const;

  private:
    std::string path_;
};

// A read stream over the given bytes (closed by the caller).
FILE *stream_of(const std::string &bytes);

} // namespace tessera::test
