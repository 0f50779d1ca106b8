// Loading and saving 4096 x 4096 images of every file format, by name and by descriptor, beside
// plain read/write of the same bytes and, where installed, Netpbm's row readers and writers and
// stb_image (on the "P5" and "P6" files).
#include <benchmark/benchmark.h>
#include <tessera.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "image/image_internal.h"

#ifdef TESSERA_HAVE_NETPBM
extern "C" {
#include <netpbm/pgm.h>
#include <netpbm/ppm.h>
}
#endif
#ifdef TESSERA_HAVE_STB
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNM
#include <stb_image.h>
#endif

namespace {

constexpr int side = 4096;
const uint16_t tags[] = {IMAGE_GRAY, IMAGE_FLOAT, IMAGE_RGB,     IMAGE_DOUBLE, IMAGE_BINARY,
                         IMAGE_INT,  IMAGE_SHORT, IMAGE_FLOAT3A, IMAGE_FLOAT3B};

std::string dir() {
    static std::string d = [] {
        char name[] = "/tmp/tessera-bench-XXXXXX";
        return std::string(mkdtemp(name));
    }();
    return d;
}

// The file of each tag, written once by tessera.
const std::string &file_of(uint16_t tag) {
    static std::map<uint16_t, std::string> files;
    auto it = files.find(tag);
    if (it != files.end()) return it->second;
    void *im = im_NewOrWrap_(tag, side, side, 0, 0, nullptr, 0, 0, nullptr);
    const ImageHeader *h = static_cast<AnyImageStruct *>(im)->header;
    const std::size_t size = tessera::detail::fixed_elem_size(tag);
    unsigned char *p = tessera::detail::first_pixel(im, h, size);
    for (std::size_t i = 0; i < tessera::detail::pixel_count(h) * size; ++i)
        p[i] = tag == IMAGE_BINARY ? static_cast<unsigned char>((i * 7) % 3 == 0) : static_cast<unsigned char>(i * 13);
    const std::string name = dir() + "/image-" + std::to_string(tag);
    im_Save_(im, static_cast<AnyImageStruct *>(im)->header, name.c_str());
    im_Free_(im, tag);
    return files[tag] = name;
}

std::size_t pixel_bytes(uint16_t tag) {
    return static_cast<std::size_t>(side) * side * (tag == IMAGE_BINARY ? 1 : tessera::detail::fixed_elem_size(tag));
}

void report(benchmark::State &state, uint16_t tag) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pixel_bytes(tag)));
    state.SetLabel(tag == IMAGE_BINARY ? "P4 (unpacked bytes)" : "");
}

void load_by_name(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    const std::string &name = file_of(tag);
    for (auto _ : state) {
        void *im = im_Load(tag, name.c_str());
        benchmark::DoNotOptimize(im);
        im_Free_(im, tag);
    }
    report(state, tag);
}

void load_by_descriptor(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    const std::string &name = file_of(tag);
    for (auto _ : state) {
        const int fd = open(name.c_str(), O_RDONLY);
        void *im = im_LoadH(tag, fd);
        close(fd);
        benchmark::DoNotOptimize(im);
        im_Free_(im, tag);
    }
    report(state, tag);
}

// The limits: read of the (unpacked) pixel bytes into a buffer used before, and into a fresh one.
void read_used_buffer(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    const std::string &name = file_of(tag);
    const std::size_t bytes = pixel_bytes(tag);
    std::vector<unsigned char> buf(bytes);
    for (auto _ : state) {
        const int fd = open(name.c_str(), O_RDONLY);
        for (std::size_t done = 0; done < bytes;) {
            const ssize_t n = read(fd, buf.data() + done, bytes - done);
            if (n <= 0) lseek(fd, 0, SEEK_SET); // P4 files are smaller than their pixels
            else done += static_cast<std::size_t>(n);
        }
        close(fd);
        benchmark::DoNotOptimize(buf.data());
    }
    report(state, tag);
}

void read_fresh_buffer(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    const std::string &name = file_of(tag);
    const std::size_t bytes = pixel_bytes(tag);
    for (auto _ : state) {
        auto *buf = static_cast<unsigned char *>(
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        const int fd = open(name.c_str(), O_RDONLY);
        for (std::size_t done = 0; done < bytes;) {
            const ssize_t n = read(fd, buf + done, bytes - done);
            if (n <= 0) lseek(fd, 0, SEEK_SET);
            else done += static_cast<std::size_t>(n);
        }
        close(fd);
        benchmark::DoNotOptimize(buf);
        munmap(buf, bytes);
    }
    report(state, tag);
}

struct Loaded {
    void *im;
    explicit Loaded(uint16_t tag) : im(im_Load(tag, file_of(tag).c_str())) {}
    ~Loaded() { im_Free_(im, static_cast<AnyImageStruct *>(im)->header->tag); }
    ImageHeader *h() const { return static_cast<AnyImageStruct *>(im)->header; }
};

void save_by_name(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    Loaded src(tag);
    const std::string out = dir() + "/out";
    for (auto _ : state) benchmark::DoNotOptimize(im_Save_(src.im, src.h(), out.c_str()));
    report(state, tag);
}

void save_by_descriptor(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    Loaded src(tag);
    const std::string out = dir() + "/out";
    for (auto _ : state) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        benchmark::DoNotOptimize(im_SaveH_(src.im, src.h(), fd));
        close(fd);
    }
    report(state, tag);
}

// The limit: write of the same (unpacked) pixel bytes, opened the way im_Save_ opens.
void plain_write(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    const std::size_t bytes = pixel_bytes(tag);
    std::vector<unsigned char> buf(bytes, 1);
    const std::string out = dir() + "/out";
    for (auto _ : state) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        for (std::size_t done = 0; done < bytes;)
            done += static_cast<std::size_t>(write(fd, buf.data() + done, bytes - done));
        close(fd);
    }
    report(state, tag);
}

void all_tags(benchmark::internal::Benchmark *b) {
    for (uint16_t t : tags) b->Arg(t);
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(load_by_name)->Apply(all_tags);
BENCHMARK(load_by_descriptor)->Apply(all_tags);
BENCHMARK(read_used_buffer)->Apply(all_tags);
BENCHMARK(read_fresh_buffer)->Apply(all_tags);
BENCHMARK(save_by_name)->Apply(all_tags);
BENCHMARK(save_by_descriptor)->Apply(all_tags);
BENCHMARK(plain_write)->Apply(all_tags);

#ifdef TESSERA_HAVE_NETPBM
void netpbm_load(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    const std::string &name = file_of(tag);
    for (auto _ : state) {
        FILE *f = std::fopen(name.c_str(), "rb");
        int cols, rows, format;
        if (tag == IMAGE_GRAY) {
            gray maxval;
            pgm_readpgminit(f, &cols, &rows, &maxval, &format);
            gray **image = pgm_allocarray(cols, rows);
            for (int r = 0; r < rows; ++r) pgm_readpgmrow(f, image[r], cols, maxval, format);
            benchmark::DoNotOptimize(image);
            pgm_freearray(image, rows);
        } else {
            pixval maxval;
            ppm_readppminit(f, &cols, &rows, &maxval, &format);
            pixel **image = ppm_allocarray(cols, rows);
            for (int r = 0; r < rows; ++r) ppm_readppmrow(f, image[r], cols, maxval, format);
            benchmark::DoNotOptimize(image);
            ppm_freearray(image, rows);
        }
        std::fclose(f);
    }
    report(state, tag);
}

void netpbm_save(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    const std::string out = dir() + "/out";
    if (tag == IMAGE_GRAY) {
        gray **image = pgm_allocarray(side, side);
        for (int r = 0; r < side; ++r)
            for (int c = 0; c < side; ++c) image[r][c] = static_cast<gray>((r + c) & 255);
        for (auto _ : state) {
            FILE *f = std::fopen(out.c_str(), "wb");
            pgm_writepgminit(f, side, side, 255, 0);
            for (int r = 0; r < side; ++r) pgm_writepgmrow(f, image[r], side, 255, 0);
            std::fclose(f);
        }
        pgm_freearray(image, side);
    } else {
        pixel **image = ppm_allocarray(side, side);
        for (int r = 0; r < side; ++r)
            for (int c = 0; c < side; ++c) PPM_ASSIGN(image[r][c], r & 255, c & 255, (r + c) & 255);
        for (auto _ : state) {
            FILE *f = std::fopen(out.c_str(), "wb");
            ppm_writeppminit(f, side, side, 255, 0);
            for (int r = 0; r < side; ++r) ppm_writeppmrow(f, image[r], side, 255, 0);
            std::fclose(f);
        }
        ppm_freearray(image, side);
    }
    report(state, tag);
}
BENCHMARK(netpbm_load)->Arg(IMAGE_GRAY)->Arg(IMAGE_RGB)->Unit(benchmark::kMillisecond);
BENCHMARK(netpbm_save)->Arg(IMAGE_GRAY)->Arg(IMAGE_RGB)->Unit(benchmark::kMillisecond);
#endif

#ifdef TESSERA_HAVE_STB
void stb_load(benchmark::State &state) {
    const auto tag = static_cast<uint16_t>(state.range(0));
    const std::string &name = file_of(tag);
    for (auto _ : state) {
        int w, h, n;
        unsigned char *p = stbi_load(name.c_str(), &w, &h, &n, 0);
        benchmark::DoNotOptimize(p);
        stbi_image_free(p);
    }
    report(state, tag);
}
BENCHMARK(stb_load)->Arg(IMAGE_GRAY)->Arg(IMAGE_RGB)->Unit(benchmark::kMillisecond);
#endif

} // namespace

int main(int argc, char **argv) {
#ifdef TESSERA_HAVE_NETPBM
    pm_init(argv[0], 0);
#endif
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const std::string cleanup = "rm -rf " + dir();
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
