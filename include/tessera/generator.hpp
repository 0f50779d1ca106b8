// tessera/generator.hpp - seedable random generators (and, included, histograms).
// Part of the C++ face; <tessera.hpp> includes every family.
#pragma once

#include <tessera/generator.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "error.hpp"
#include "hist.hpp"

namespace tessera {

// ---- generator --------------------------------------------------------------------------------

// A seedable generator of one of the library's four kinds. next() draws the kind's value (an
// integer as a double for uniform_int). It is also a std::uniform_random_bit_generator: call
// operator() for raw values in [min(), max()] (from a uniform stream of its own, seeded alike),
// to use it with <random> distributions and std::shuffle. A seed of 0 or less takes one from
// the clock-seeded source.
class generator {
  public:
    using result_type = uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return 2147483561u; }

#if TESSERA_HPP_THROWS
    static generator uniform_int(int32_t low, int32_t high, int32_t seed = 0) {
        detail::require(low <= high, "tessera::generator::uniform_int: low above high");
        GenUniformIntParams p{low, high};
        return generator(GEN_UNIFORM_INT, seed, &p);
    }
    static generator uniform_real(double low, double high, int32_t seed = 0) {
        GenUniformFloatParams p{low, high};
        return generator(GEN_UNIFORM_FLOAT, seed, &p);
    }
    static generator normal(double mean, double deviation, int32_t seed = 0) {
        GenGaussianParams p{mean, deviation};
        return generator(GEN_GAUSSIAN, seed, &p);
    }
    static generator exponential(double rate, int32_t seed = 0) {
        detail::require(rate > 0, "tessera::generator::exponential: the rate must be above 0");
        GenExponentialParams p{rate};
        return generator(GEN_EXPONENTIAL, seed, &p);
    }
    result_type operator()() {
        detail::require(g_ != nullptr, "tessera::generator: a moved-from generator");
        if (!bits_) {
            GenUniformIntParams p{0, static_cast<int32_t>(max())};
            bits_ = genNew_(GEN_UNIFORM_INT, seed_, &p);
            if (!bits_) throw std::bad_alloc();
        }
        auto *g = static_cast<_int_generator_struct_ *>(bits_);
        return static_cast<result_type>(g->generate(g));
    }
#endif
    generator(generator &&o) noexcept
        : g_(std::exchange(o.g_, nullptr)), bits_(std::exchange(o.bits_, nullptr)), kind_(o.kind_), seed_(o.seed_) {}
    generator &operator=(generator &&o) noexcept {
        if (this != &o) {
            drop();
            g_ = std::exchange(o.g_, nullptr);
            bits_ = std::exchange(o.bits_, nullptr);
            kind_ = o.kind_;
            seed_ = o.seed_;
        }
        return *this;
    }
    ~generator() { drop(); }

    // The next value of the generator's kind (a moved-from generator throws
    // std::invalid_argument, or gives NaN without exceptions).
    double next() {
        if (!g_) {
            empty("tessera::generator::next: a moved-from generator");
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (kind_ == GEN_UNIFORM_INT) {
            auto *g = static_cast<_int_generator_struct_ *>(g_);
            return g->generate(g);
        }
        auto *g = static_cast<_float_generator_struct_ *>(g_);
        return g->generate(g);
    }
    // Starts the sequence again from seed.
    void reseed(int32_t seed) {
        if (!g_) return empty("tessera::generator::reseed: a moved-from generator");
        genReset_(kind_, g_, seed);
        seed_ = seed;
        if (bits_) genReset_(GEN_UNIFORM_INT, bits_, seed);
    }
    int32_t kind() const noexcept { return kind_; }
    bool valid() const noexcept { return g_ != nullptr; }

  private:
    static void empty([[maybe_unused]] const char *what) {
#if TESSERA_HPP_THROWS
        throw std::invalid_argument(what);
#endif
    }
#if TESSERA_HPP_THROWS
    generator(int32_t kind, int32_t seed, void *params) : g_(genNew_(kind, seed, params)), kind_(kind), seed_(seed) {
        if (!g_) throw std::bad_alloc();
    }
#endif
    void drop() {
        if (g_) genFree_(kind_, g_);
        if (bits_) genFree_(GEN_UNIFORM_INT, bits_);
        g_ = bits_ = nullptr;
    }
    void *g_ = nullptr;
    void *bits_ = nullptr;
    int32_t kind_ = 0;
    int32_t seed_ = 0;
};

} // namespace tessera
