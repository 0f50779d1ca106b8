// Any bytes through libtessera_io's table: every format is sniffed and read; what loads is
// converted to every element type and written as PAM, PNG and TIFF.
#include <initializer_list>

#include "codec_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tessera::fuzz::fuzz_files(data, size, nullptr);
    tessera_io_load_options o;
    tessera_io_load_defaults(&o);
    o.max_pixels = 1 << 20;
    if (auto *im = static_cast<AnyImageStruct *>(tessera_io_load_memory(data, size, &o, nullptr))) {
        for (const char *name : {"pam", "png", "tiff"}) {
            const tessera_io_format *f = tessera_io_format_named(name);
            void *bytes = nullptr;
            size_t n = 0;
            if (tessera_io_target_tag(f, im->header->tag, 0) && tessera_io_save_memory(im, f, nullptr, &bytes, &n) == 0)
                std::free(bytes);
        }
        im_Free_(im, im->header->tag);
    }
    return 0;
}
