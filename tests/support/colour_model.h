// The colour mixing of the drawing rules written out literally, one step at a time: the model
// the renderer's colours are checked against.
#pragma once

#include <tessera/ptl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tessera::test {

inline int64_t model_round(float v) { // halves away from zero
    return static_cast<int64_t>(v < 0 ? static_cast<double>(v) - 0.5 : static_cast<double>(v) + 0.5);
}

inline void model_rgb_to_hsv(float r, float g, float b, float &h, float &s, float &v) {
    const float mx = std::max({r, g, b}), mn = std::min({r, g, b});
    v = mx;
    s = mx != 0 ? (mx - mn) / mx : 0;
    if (s == 0) {
        h = -1;
        return;
    }
    const float d = mx - mn;
    if (r == mx) h = (g - b) / d;
    else if (g == mx) h = 2 + (b - r) / d;
    else h = 4 + (r - g) / d;
    h *= 60;
    if (h < 0) h += 360;
}

inline void model_hsv_to_rgb(float &r, float &g, float &b, float h, float s, float v) {
    if (s == 0) {
        r = g = b = v;
        return;
    }
    if (h >= 360) h -= 360;
    h /= 60;
    const int i = static_cast<int>(std::floor(h));
    const float f = h - static_cast<float>(i);
    const float p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    const float table[6][3] = {{v, t, p}, {q, v, p}, {p, v, t}, {p, q, v}, {t, p, v}, {v, p, q}};
    r = table[i][0], g = table[i][1], b = table[i][2];
}

inline RGB model_combine(RGB old, int n, RGB c) {
    if (n == 0) return c;
    float ho, so, vo, hn, sn, vn;
    model_rgb_to_hsv(old.r / 255.0f, old.g / 255.0f, old.b / 255.0f, ho, so, vo);
    model_rgb_to_hsv(c.r / 255.0f, c.g / 255.0f, c.b / 255.0f, hn, sn, vn);
    if (ho - hn > 180) hn += 360;
    else if (hn - ho > 180) hn -= 360;
    const float nf = static_cast<float>(n), n1 = static_cast<float>(n + 1);
    float h = (nf * ho + hn) / n1;
    while (h >= 360) h -= 360;
    while (h < 0) h += 360;
    float r, g, b;
    model_hsv_to_rgb(r, g, b, h, (nf * so + sn) / n1, (nf * vo + vn) / n1);
    const auto ch = [](float x) {
        const int64_t k = model_round(x * 256.0f);
        return static_cast<uint8_t>(k >= 255 ? 255 : k <= 0 ? 0 : k);
    };
    return RGB{ch(r), ch(g), ch(b)};
}

} // namespace tessera::test
