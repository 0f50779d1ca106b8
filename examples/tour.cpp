// A tour of tessera's C++ face: images with typed pixels, drawings, a queue and a generator,
// and errors as exceptions. Usage: tour OUTPUT_DIR
#include <tessera.hpp>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fputs("usage: tour OUTPUT_DIR\n", stderr);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    try {
        // An image whose first pixel is (-32, -24): pixel (0, 0) is its centre.
        tessera::image<uint8_t> gray(64, 48, -32, -24);
        for (auto row : gray.rows()) std::fill(row.begin(), row.end(), uint8_t{40});
        gray(0, 0) = 255;
        const auto [brightest, darkest] = gray.extrema();
        std::printf("gray: %d x %d, values %d to %d\n", gray.width(), gray.height(), brightest, darkest);
        gray.crop({-8, -8, 16, 16}).save(dir / "centre.pgm");

        // A drawing rendered at 4 pixels per unit.
        tessera::drawing d(0, 0, 40, 30);
        d.ellipse(20, 15, 12, 8, 1, RGB{255, 0, 0}).line(5, 25, 35, 5, 2, RGB{0, 0, 255});
        bool clipped = false;
        tessera::image<RGB> picture = d.render_rgb(4, 4, RGB{0, 0, 0}, &clipped);
        picture.save(dir / "drawing.ppm");
        std::printf("drawing: %zu elements, %d x %d pixels%s\n", d.size(), picture.width(), picture.height(),
                    clipped ? ", clipped" : "");

        // A queue whose handles follow their elements.
        tessera::priority_queue<std::string> q;
        q.push("pear");
        auto fig = q.push("fig");
        q.push("apple");
        q.erase(fig);
        std::printf("first in the queue: %s\n", q.top().c_str());

        // The library's generator in <random>.
        auto g = tessera::generator::uniform_real(0, 1, 42);
        std::vector<int> cards{1, 2, 3, 4, 5};
        std::shuffle(cards.begin(), cards.end(), g);
        std::printf("shuffled: %d %d %d %d %d, a uniform draw: %.3f\n", cards[0], cards[1], cards[2], cards[3],
                    cards[4], g.next());

        // A mistake is an exception, not an abort.
        try {
            (void)gray.crop({20, 20, 40, 40});
        } catch (const std::out_of_range &e) {
            std::printf("refused: %s\n", e.what());
        }
        (void)tessera::image<uint8_t>::load(dir / "missing.pgm");
    } catch (const tessera::error &e) {
        std::printf("error: %s\n", e.what());
    }
    return 0;
}
