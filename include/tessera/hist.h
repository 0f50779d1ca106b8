/* tessera/hist.h - fixed-range histograms of weighted samples.
 * Samples below the range count in the first bin, at or above it in the last. */
#ifndef TESSERA_HIST_H
#define TESSERA_HIST_H

#include <stdint.h>

#include "export.h"

TESSERA_BEGIN_DECLS

typedef struct HistStruct {
    double *bins; /* nbins sums of weights */
    uint32_t nbins;
    double low;  /* lower end of the range */
    double high; /* upper end of the range */
} HistStruct;

typedef HistStruct *Hist;

#define NULLHIST ((Hist)0)

/* New histogram of nbins zero bins over [low, high); NULLHIST when memory runs out. */
TESSERA_API Hist hiNew(uint32_t nbins, double low, double high);
/* Releases the bins and the record. */
TESSERA_API void hiFree(Hist h);
/* Adds weight to the bin of x. */
TESSERA_API void hiAdd(Hist h, double x, double weight);

TESSERA_END_DECLS

#endif
