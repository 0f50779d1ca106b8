// tessera/hist.hpp - weighted histograms of equal bins.
// Part of the C++ face; <tessera.hpp> includes every family.
#pragma once

#include <tessera/hist.h>

#include <cstdint>
#include <span>

#include "error.hpp"

namespace tessera {

// A weighted histogram of equal bins over [low, high).
class histogram {
  public:
#if TESSERA_HPP_THROWS
    histogram(uint32_t bins, double low, double high) {
        detail::require(bins > 0, "tessera::histogram: no bins");
        detail::require(low <= high, "tessera::histogram: low above high");
        h_.reset(hiNew(bins, low, high));
        if (!h_) detail::raise("tessera::histogram");
    }
#endif
    // Adds x with a weight; a moved-from histogram throws std::invalid_argument (without
    // exceptions, nothing is added).
    void add(double x, double weight = 1.0) {
        if (!h_) {
#if TESSERA_HPP_THROWS
            throw std::invalid_argument("tessera::histogram::add: a moved-from histogram");
#else
            return;
#endif
        }
        hiAdd(h_.get(), x, weight);
    }
    // The bins (none for a moved-from histogram).
    std::span<const double> bins() const {
        if (!h_) return {};
        return {h_->bins, static_cast<std::size_t>(h_->nbins)};
    }
    Hist get() const noexcept { return h_.get(); }

  private:
    detail::owner<HistStruct, hiFree> h_;
};

} // namespace tessera
