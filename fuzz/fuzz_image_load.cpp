// Loads arbitrary bytes as an image file under every tag mask. Any result is fine; reading
// outside memory, leaking, hanging or undefined behaviour is not.
#include <tessera/image.h>

#include "memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int fd = tessera::fuzz::memfile(data, size);
    if (fd < 0) return 0;
    const uint16_t masks[] = {1, 2, 4, 8, 16, 32, 128, 256, 512, 0xffff};
    for (uint16_t mask : masks) {
        tessera::fuzz::rewind(fd);
        if (void *im = im_LoadH(mask, fd)) im_Free_(im, static_cast<AnyImageStruct *>(im)->header->tag);
    }
    tessera::fuzz::close_file(fd);
    return 0;
}
