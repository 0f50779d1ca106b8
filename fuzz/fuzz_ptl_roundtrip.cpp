// Loads a point list, saves it, loads the saved text and saves again: whatever ptlSave writes
// must load again, and the second save must equal the first (the text format is a fixed point
// after one round). Anything else stops the fuzzer.
#include <tessera/ptl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The text ptlSaveF writes for p; false when it fails.
bool saved(PointList p, std::string *out) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    if (!f) return false;
    const bool ok = ptlSaveF(p, f) == 0;
    std::fclose(f);
    if (ok) out->assign(buf, len);
    std::free(buf);
    return ok;
}

PointList loaded(const std::string &text) {
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    if (!f) return nullptr;
    PointList p = ptlLoadF(f);
    std::fclose(f);
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096 || size == 0) return 0;
    PointList first = loaded(std::string(reinterpret_cast<const char *>(data), size));
    if (!first) return 0;
    std::string a, b;
    if (saved(first, &a)) {
        PointList second = loaded(a);
        if (!second) __builtin_trap(); // ptlSave wrote what ptlLoad refuses
        if (saved(second, &b) && a != b) __builtin_trap();
        ptlFree(second);
    }
    ptlFree(first);
    return 0;
}
