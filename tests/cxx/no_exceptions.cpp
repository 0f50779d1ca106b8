// tessera.hpp without exceptions: only the non-throwing forms are declared, and they compile.
#include <tessera.hpp>

int main() {
    std::optional<tessera::image<uint8_t>> im = tessera::image<uint8_t>::try_load("/nonexistent.pgm");
    std::optional<tessera::drawing> d = tessera::drawing::try_load("/nonexistent.ptl");
    tessera::string s("text");
    const bool grew = s.try_push_back('!');
    return im || d || !grew ? 1 : 0;
}
