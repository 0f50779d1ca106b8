// The umbrella header compiles as C++ and its declarations have C linkage.
#include <tessera.h>

#include <cstdio>

int main() {
    adtStringHeader *s = strMake("c++");
    const bool ok = s != nullptr && strLen(s) == 3;
    strFree(s);
    std::puts(ok ? "C++ API: all checks passed" : "C++ API: failed");
    return ok ? 0 : 1;
}
