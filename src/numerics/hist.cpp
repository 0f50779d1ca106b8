// Histograms: equal-width bins over [low, high), with everything outside kept in the end bins.
#include <tessera/hist.h>

#include <cstddef>

#include "support/alloc.h"
#include "support/check.h"

static_assert(offsetof(HistStruct, low) == 16 && offsetof(HistStruct, high) == 24);

extern "C" {

Hist hiNew(uint32_t nbins, double low, double high) {
    TESSERA_CHECK(low <= high);
    auto *h = tessera::detail::alloc_record<HistStruct>();
    if (!h) return NULLHIST;
    // A histogram of no bins still gets a (one-element) block, so that bins is never null.
    h->bins = static_cast<double *>(tessera::detail::mem_calloc(nbins ? nbins : 1, sizeof(double)));
    if (!h->bins) {
        tessera::detail::mem_free(h);
        return NULLHIST;
    }
    h->nbins = nbins;
    h->low = low;
    h->high = high;
    return h;
}

void hiFree(Hist h) {
    TESSERA_CHECK(h != NULLHIST);
    TESSERA_CHECK(h->bins != (double *)NULL);
    tessera::detail::mem_free(h->bins);
    tessera::detail::mem_free(h);
}

void hiAdd(Hist h, double x, double weight) {
    TESSERA_CHECK(h != NULLHIST);
    TESSERA_CHECK(h->nbins > 0);
    TESSERA_CHECK(h->bins != (double *)NULL);
    std::size_t i;
    if (!(x >= h->low)) {
        i = 0; // below the range, or not a number
    } else if (x >= h->high) {
        i = h->nbins - 1;
    } else {
        // A sample just below high may round up to nbins; an infinite span gives NaN.
        const double t = (x - h->low) / (h->high - h->low) * h->nbins;
        i = t >= h->nbins ? h->nbins - 1 : (t > 0 ? static_cast<std::size_t>(t) : 0);
    }
    h->bins[i] += weight;
}

} // extern "C"
