// The C++ face of libtessera_io: loads image files of any format, keeping 16-bit samples, and
// saves each in other formats (16-bit TIFF and PGM or PPM; 8-bit PNG and a JPEG in memory
// written out). Link with tessera::io (find_package(tessera COMPONENTS io)).
// usage: image_files_cxx OUTDIR FILE...
#include <tessera.hpp>
#include <tessera/io.hpp>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>

int main(int argc, char **argv) {
    if (argc < 3) {
        std::cerr << "usage: " << argv[0] << " OUTDIR FILE...\n";
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    int failed = 0;
    for (int i = 2; i < argc; ++i) {
        try {
            tessera::io::file_info info{};
            const tessera::any_image im = tessera::io::load(argv[i], {.depth = tessera::io::depth::keep}, &info);
            std::cout << argv[i] << ": " << info.magic << ", " << info.width << " x " << info.height << ", "
                      << info.bits << " bits\n";
            const std::filesystem::path stem = dir / std::filesystem::path(argv[i]).stem();
            if (info.bits > 8) {
                tessera::io::save(im, stem.string() + "-cxx.tif", nullptr, {.depth = 16});
                tessera::io::save(im, stem.string() + (info.channels == 3 ? "-cxx.ppm" : "-cxx.pgm"), nullptr,
                                  {.depth = 16});
            } else {
                tessera::io::save(im, stem.string() + "-cxx.png");
                if (im.tag() != IMAGE_BINARY) {
                    const auto jpeg = tessera::io::encode(im, tessera::io::format("jpeg"), {.quality = 85});
                    std::ofstream(stem.string() + "-cxx.jpg", std::ios::binary)
                        .write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
                }
            }
        } catch (const std::exception &e) {
            std::cerr << e.what() << "\n"; // tessera::file_error names the file and the reason
            failed = 1;
        }
    }
    return failed;
}
