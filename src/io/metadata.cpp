// The profile, EXIF and XMP blocks a load gathers for its caller and a save hands to a writer.
#include "codec.h"

#include <cstring>

namespace tessera::detail::io {

bool new_block(const Request &r, Block which, std::size_t n, unsigned char *&block) {
    block = nullptr;
    if (!r.meta || n == 0) return true;
    void *&to = which == Block::icc ? r.meta->icc : which == Block::exif ? r.meta->exif : r.meta->xmp;
    std::size_t &size = which == Block::icc    ? r.meta->icc_size
                        : which == Block::exif ? r.meta->exif_size
                                               : r.meta->xmp_size;
    if (to) return true; // the first of its kind counts, as readers of these formats take it
    const char *name = which == Block::icc ? "ICC profile" : which == Block::exif ? "EXIF block" : "XMP packet";
    if (n > budget(r))
        return fail(Err::limit, "the file's %zu-byte %s is over the budget of %llu bytes", n, name,
                    static_cast<unsigned long long>(budget(r)));
    to = std::malloc(n);
    if (!to) return fail(Err::memory, "out of memory for the file's %s", name);
    size = n;
    block = static_cast<unsigned char *>(to);
    return true;
}

bool keep_block(const Request &r, Block which, const void *data, std::size_t n) {
    unsigned char *block = nullptr;
    if (!data || !new_block(r, which, n, block)) return data == nullptr;
    if (block) std::memcpy(block, data, n);
    return true;
}

bool found_exif(const Request &r, const unsigned char *d, std::size_t n) {
    if (n >= 6 && std::memcmp(d, "Exif\0\0", 6) == 0) d += 6, n -= 6; // as some writers mark it
    if (!r.info->orientation) r.info->orientation = exif_orientation(d, n);
    return keep_block(r, Block::exif, d, n);
}

bool is_xmp_key(const char *key) { return key && std::strcmp(key, "XML:com.adobe.xmp") == 0; }

} // namespace tessera::detail::io

extern "C" void tessera_io_metadata_free(tessera_io_metadata *m) {
    if (!m) return;
    std::free(m->icc);
    std::free(m->exif);
    std::free(m->xmp);
    *m = tessera_io_metadata{};
}
