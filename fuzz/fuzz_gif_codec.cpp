// The gif codec of libtessera_io, its round trip included.
#include "codec_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return tessera::fuzz::fuzz_files(data, size, "gif");
}
