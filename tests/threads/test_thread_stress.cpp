// Many threads using the library at once, each on its own objects: every thread loads and saves
// every image format by name, stream and descriptor, edits images, reads, renders and saves
// drawings (also element by element and straight from a file), runs its own queue and list and
// draws from clock-seeded generators, and checks every result against a run on one thread.
// Built with ThreadSanitizer too, where it must run without a report.
#include <tessera.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const uint16_t tags[] = {IMAGE_GRAY, IMAGE_FLOAT, IMAGE_RGB,     IMAGE_DOUBLE, IMAGE_BINARY,
                         IMAGE_INT,  IMAGE_SHORT, IMAGE_FLOAT3A, IMAGE_FLOAT3B};

const char drawing[] = "# a drawing for every thread\nCPTL -2 -1 12 9\n"
                       "3l 0 0 9 7 0xff0000\n2e 5 4 3 2 0x00ff00\np 1 6 0x0000ff\n8p 9 1 0x808080\nf 5 4 0\n";

std::string scratch() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/tessera-threads-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

// A checksum of an image's bytes, its size and offsets.
uint64_t digest(void *im) {
    const ImageHeader *h = static_cast<AnyImageStruct *>(im)->header;
    static const int sizes[] = {1, 4, 3, 8, 1, 4, 8, 2, 12, 12};
    int size = 0;
    for (int i = 0, t = 1; i < 10; ++i, t <<= 1)
        if (h->tag == t) size = sizes[i];
    uint64_t d = 1469598103934665603ull ^ static_cast<uint64_t>(h->width * 31 + h->height) ^
                 (static_cast<uint64_t>(static_cast<uint32_t>(h->xoffset)) << 20) ^
                 (static_cast<uint64_t>(static_cast<uint32_t>(h->yoffset)) << 40);
    auto **rows = reinterpret_cast<unsigned char **>(static_cast<AnyImageStruct *>(im)->data);
    for (int y = h->yoffset; y < h->yoffset + h->height; ++y)
        for (int k = 0; k < h->width * size; ++k) d = (d ^ rows[y][h->xoffset * size + k]) * 1099511628211ull;
    for (const char *c = strGet(h->comment); *c; ++c) d = (d ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
    return d;
}

void free_image(void *im) {
    if (im) im_Free_(im, static_cast<AnyImageStruct *>(im)->header->tag);
}

// One round of everything; returns the digests of all its results (0 for a failed step).
std::vector<uint64_t> one_round(int thread, int round) {
    std::vector<uint64_t> out;
    const std::string base = scratch() + "/t" + std::to_string(thread);
    for (uint16_t tag : tags) {
        void *im = im_NewOrWrap_(tag, 13, 7, 0, 0, nullptr, 0, 0, nullptr);
        const ImageHeader *h = static_cast<AnyImageStruct *>(im)->header;
        auto **rows = reinterpret_cast<unsigned char **>(static_cast<AnyImageStruct *>(im)->data);
        for (int y = 0; y < h->height; ++y) // a pattern that depends on the tag only
            for (int k = 0; k < h->width; ++k)
                rows[y][k] = static_cast<unsigned char>(tag == IMAGE_BINARY ? (k + y) % 2 : k * 7 + y * 3 + tag);
        static_cast<AnyImageStruct *>(im)->header->comment = strMake("made by a thread");
        const std::string path = base + "-" + std::to_string(tag);
        out.push_back(im_Save_(im, static_cast<AnyImageStruct *>(im)->header, path.c_str()) == 0);
        void *by_name = im_Load(tag, path.c_str());
        out.push_back(by_name ? digest(by_name) : 0);
        const int fd = open(path.c_str(), O_RDONLY);
        void *by_fd = im_LoadH(tag, fd);
        close(fd);
        out.push_back(by_fd ? digest(by_fd) : 0);
        if (by_name) {
            auto *a = static_cast<AnyImageStruct *>(by_name);
            AnyImageStruct *c = imCrop(a, 2, 1, 9, 6), *s = imScale(a, 20, 5), *b = imBorders(a, 2);
            void *d = im_Dup_(a, a->header);
            for (void *r : {static_cast<void *>(c), static_cast<void *>(s), static_cast<void *>(b), d}) {
                out.push_back(r ? digest(r) : 0);
                free_image(r);
            }
            if (tag != IMAGE_FLOAT3A && tag != IMAGE_FLOAT3B) {
                unsigned char mx[24] = {}, mn[24] = {};
                im_MaxAndMin_(a, a->header, mx, mn);
                uint64_t e = 0;
                for (int i = 0; i < 24; ++i) e = e * 131 + mx[i] * 7 + mn[i];
                out.push_back(e);
            }
        }
        free_image(by_name);
        free_image(by_fd);
        free_image(im);
    }
    // Point lists: from a file, rendered both ways, saved, and rendered element by element.
    const std::string ptl_path = base + ".cptl";
    {
        std::FILE *f = std::fopen(ptl_path.c_str(), "w");
        std::fputs(drawing, f);
        std::fclose(f);
    }
    PointList p = ptlLoad(ptl_path.c_str());
    out.push_back(p ? liLen(p->elements) : 0);
    if (p) {
        for (unsigned short type : {IMAGE_RGB, IMAGE_BINARY}) {
            bool clipped = false;
            void *im = ptlRender(p, type, 3, 2, RGB{1, 2, 3}, &clipped);
            out.push_back(im ? digest(im) + clipped : 0);
            free_image(im);
        }
        // element by element into an image of the thread's own
        void *im = im_NewOrWrap_(IMAGE_RGB, 36, 18, -6, -2, nullptr, 0, 0, nullptr);
        ptlStartRendering(IMAGE_RGB, 3, 2, -6, -2, 36, 18);
        for (_ListNode *n = liFirst(p->elements); n; n = liNext(n))
            ptl_RenderElem_(static_cast<PointListElem>(liGet(n)), im, static_cast<AnyImageStruct *>(im)->header, 3, 2);
        out.push_back(digest(im));
        free_image(im);
        const std::string saved = base + "-saved.cptl";
        out.push_back(ptlSave(p, saved.c_str()) == 0);
        PointList back = ptlLoad(saved.c_str());
        out.push_back(back ? liLen(back->elements) : 0);
        if (back) ptlFree(back);
        ptlFree(p);
    }
    {
        std::FILE *f = std::fopen(ptl_path.c_str(), "r");
        adtStringHeader *magic = nullptr;
        magicStart();
        void *im = magicGetString(f, &magic) == 0 ? ptlLoadAndRender(f, true, IMAGE_RGB, 2, 2, RGB{0, 0, 0}, nullptr)
                                                  : nullptr;
        out.push_back(im ? digest(im) : 0);
        free_image(im);
        strFree(magic);
        std::fclose(f);
    }
    // A queue and a list of the thread's own.
    int items[64];
    PriQ q = pqNew([](void *a, void *b) { return *static_cast<int *>(a) > *static_cast<int *>(b); });
    for (int i = 0; i < 64; ++i) items[i] = i; // the same values in every thread
    for (int i = 0; i < 64; ++i) pqAdd(q, &items[(i * 37 + round) % 64]);
    uint64_t order = 0;
    while (pqLen(q)) {
        _PriQNode *first = pqFirst(q);
        order = order * 31 + static_cast<uint64_t>(*static_cast<int *>(pqGet(first)));
        pqRem(first);
    }
    pqFree(q);
    out.push_back(order);
    List l = liNew();
    for (int i = 0; i < 32; ++i) liAdd(l, &items[i]);
    out.push_back(liLen(l));
    liFree(l);
    // Clock-seeded generators: different seeds, values in range.
    GenUniformIntParams range{0, 9};
    void *g = genNew_(GEN_UNIFORM_INT, 0, &range);
    auto *ig = static_cast<_int_generator_struct_ *>(g);
    bool in_range = true;
    for (int i = 0; i < 20; ++i) in_range = in_range && ig->generate(ig) >= 0 && ig->value <= 9;
    out.push_back(in_range);
    genFree_(GEN_UNIFORM_INT, g);
    return out;
}

int rounds() {
    const char *s = std::getenv("TESSERA_STRESS_ROUNDS");
    return s ? std::atoi(s) : 300;
}

} // namespace

TEST(Threads, EveryFamilyAtOnceGivesTheSingleThreadResults) {
    const std::vector<uint64_t> expected = one_round(99, 0);
    ASSERT_FALSE(expected.empty());
    for (uint64_t d : expected) ASSERT_NE(d, 0u) << "a step failed on one thread";
    const int threads = std::thread::hardware_concurrency() > 4 ? 8 : 4;
    std::vector<int> mismatches(static_cast<std::size_t>(threads), 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int r = 0; r < rounds(); ++r)
                if (one_round(t, 0) != expected) ++mismatches[static_cast<std::size_t>(t)];
        });
    for (std::thread &th : pool) th.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}
