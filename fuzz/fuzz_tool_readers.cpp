// Reads arbitrary bytes with the tool's own readers (plain and any-maxval Netpbm, PAM, PNG and,
// through the library, its formats), converts what loads to every element type and writes it
// as PAM and PNG. Any result is fine; reading outside memory, leaking, hanging or undefined
// behaviour is not.
#include <cstdio>
#include <initializer_list>

extern "C" {
#include "tool.h"
}

#include "memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int fd = tessera::fuzz::memfile(data, size);
    if (fd < 0) return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    problem why;
    sniffed what;
    const RGB background = {10, 200, 30};
    if (AnyImageStruct *im = load_any(path, background, &what, &why)) {
        const unsigned tags[] = {IMAGE_BINARY, IMAGE_GRAY, IMAGE_RGB, IMAGE_SHORT, IMAGE_FLOAT3A};
        for (unsigned tag : tags)
            for (int normalize = 0; normalize < 2; ++normalize)
                if (AnyImageStruct *c = convert_image(im, tag, normalize)) im_Free_(c, c->header->tag);
        const int out = memfd_create("out", 0);
        if (out >= 0) {
            char out_path[64];
            std::snprintf(out_path, sizeof out_path, "/proc/self/fd/%d", out);
            for (const char *name : {"pam", "png"}) {
                const out_format *f = format_named(name);
                if (target_tag(f, im->header->tag, 0)) save_as(im, f, out_path, &why);
            }
            close(out);
        }
        im_Free_(im, im->header->tag);
    }
    tessera::fuzz::close_file(fd);
    return 0;
}
