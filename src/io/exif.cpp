// What libtessera_io reads and changes of EXIF: the orientation of a picture, from the TIFF
// structure an EXIF block holds (JPEG's APP1 after "Exif\0\0", PNG's eXIf, WebP's EXIF chunk).
#include "codec.h"

namespace tessera::detail::io {

namespace {

// Where the value of the first directory's orientation entry (a SHORT held in the entry) is,
// and whether the block is little-endian; 0 when the block has no such entry.
std::size_t orientation_at(const unsigned char *d, std::size_t n, bool &le) {
    if (n < 8) return 0;
    le = d[0] == 'I' && d[1] == 'I';
    const bool be = d[0] == 'M' && d[1] == 'M';
    if (!le && !be) return 0;
    const auto get = [&](std::size_t at, int bytes) {
        uint32_t v = 0;
        for (int k = 0; k < bytes; ++k) v |= static_cast<uint32_t>(d[at + k]) << (8 * (le ? k : bytes - 1 - k));
        return v;
    };
    if (get(2, 2) != 42) return 0;
    const uint32_t ifd = get(4, 4);
    if (ifd > n || n - ifd < 2) return 0;
    const uint32_t entries = get(ifd, 2);
    for (uint32_t e = 0; e < entries; ++e) {
        const std::size_t at = ifd + 2 + static_cast<std::size_t>(e) * 12;
        if (at > n || n - at < 12) return 0;
        if (get(at, 2) != 0x0112) continue;
        // SHORT, one value, held in the entry itself
        if (get(at + 2, 2) != 3 || get(at + 4, 4) != 1) return 0;
        return at + 8;
    }
    return 0;
}

} // namespace

int exif_orientation(const unsigned char *d, std::size_t n) {
    bool le = false;
    const std::size_t at = orientation_at(d, n, le);
    if (!at) return 0;
    const unsigned v = le ? d[at] | d[at + 1] << 8 : d[at] << 8 | d[at + 1];
    return v >= 1 && v <= 8 ? static_cast<int>(v) : 0;
}

void exif_set_orientation(unsigned char *d, std::size_t n, int v) {
    bool le = false;
    const std::size_t at = orientation_at(d, n, le);
    if (!at) return;
    d[at + (le ? 0 : 1)] = static_cast<unsigned char>(v);
    d[at + (le ? 1 : 0)] = 0;
}

} // namespace tessera::detail::io
