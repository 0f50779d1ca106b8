// Sizes of the long randomised tests: smaller under valgrind and the sanitizers
// (TESSERA_TEST_SCALE=small), which look for memory errors; the plain build runs them whole.
#pragma once

#include <cstdlib>
#include <cstring>

namespace tessera::test {

inline long scaled(long full) {
    const char *scale = std::getenv("TESSERA_TEST_SCALE");
    return scale && std::strcmp(scale, "small") == 0 ? full / 50 + 1 : full;
}

} // namespace tessera::test
