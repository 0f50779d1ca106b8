// Allocation failures everywhere, including inside the C library: this program replaces malloc
// and its relatives for the whole process (the shared library and glibc's own stdio buffers
// and FILE records included), fails the Nth allocation of one call, and checks what a caller
// of the exported functions sees: no abort, a null or failure result or a complete one, no
// leak, and the caller's objects unchanged. Each call is tried in a fresh process (a forked
// child of one that never used the library) and in a warm one.
#include <tessera.h>
#include <tessera/io.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <png.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <cstring>
#include <deque>
#include <functional>
#include <jpeglib.h>
#include <lcms2.h>
#include <string>
#include <vector>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {

long armed_at = 0; // 0: nothing armed
bool every_after = false;
long calls = 0;
long live = 0; // blocks handed out and not yet released
bool delivered = false;

// Whether a failure was delivered to libtiff's own code (the allocation's caller lies in
// libtiff or in the libjpeg it calls), in memory a forked child shares with its parent, so that a child that crashes
// still tells.
volatile int *in_libtiff = [] {
    void *p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return static_cast<volatile int *>(p == MAP_FAILED ? nullptr : p);
}();

// libjpeg's allocations count as libtiff's: in a TIFF load they come from libtiff's JPEG codec.
bool caller_in_libtiff(void *caller) {
    Dl_info where;
    return dladdr(caller, &where) && where.dli_fname &&
           (std::strstr(where.dli_fname, "libtiff") || std::strstr(where.dli_fname, "libjpeg"));
}

bool should_fail(void *caller) {
    if (armed_at == 0) return false;
    ++calls;
    if (calls == armed_at || (every_after && calls > armed_at)) {
        delivered = true;
        if (in_libtiff && caller_in_libtiff(caller)) *in_libtiff = 1;
        errno = ENOMEM;
        return true;
    }
    return false;
}

} // namespace

extern "C" {

void *malloc(size_t n) {
    if (should_fail(__builtin_return_address(0))) return nullptr;
    void *p = __libc_malloc(n);
    if (p) ++live;
    return p;
}

void *calloc(size_t n, size_t size) {
    if (should_fail(__builtin_return_address(0))) return nullptr;
    void *p = __libc_calloc(n, size);
    if (p) ++live;
    return p;
}

void *realloc(void *old, size_t n) {
    if (n && should_fail(__builtin_return_address(0))) return nullptr;
    void *p = __libc_realloc(old, n);
    if (!old && p) ++live;
    if (old && !n) --live;
    return p;
}

void free(void *p) {
    if (p) --live;
    __libc_free(p);
}

void *memalign(size_t align, size_t n) {
    if (should_fail(__builtin_return_address(0))) return nullptr;
    void *p = __libc_memalign(align, n);
    if (p) ++live;
    return p;
}

void *aligned_alloc(size_t align, size_t n) { return memalign(align, n); }

int posix_memalign(void **out, size_t align, size_t n) {
    void *p = memalign(align, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

} // extern "C"

namespace {

// Arms the failure of allocation n (and, with every, of all later ones) for one call.
struct Injector {
    long n = 0;
    bool every = false;
    void arm() {
        calls = 0;
        delivered = false;
        if (in_libtiff) *in_libtiff = 0;
        every_after = every;
        armed_at = n;
    }
    void disarm() { armed_at = 0; }
};

// What one try of an operation found.
enum Outcome { ok, failed_cleanly, wrong };

// An operation: makes the caller's objects, calls the exported function between arm and disarm,
// checks the result (complete, or a failure with the caller's objects unchanged) and releases
// everything it made.
using Operation = std::function<Outcome(Injector &)>;

std::string dir() {
    static std::string d = [] {
        char tmpl[] = "/tmp/tessera-faults-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return d;
}

std::string write_file(const std::string &name, const std::string &bytes) {
    const std::string path = dir() + "/" + name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

// Comments longer than the tokenizer's first buffer, so that reading them has to grow it.
const std::string long_text(150, 'c');
const std::string pgm = "P5\n#" + long_text + "\n3 2\n255\n\x01\x02\x03\x04\x05\x06";
const std::string drawing = "#" + long_text + "\nCPTL 0 0 8 8\n3l 0 0 8 8 0xff0000\n2e 4 4 2 3 0x00ff00\nf 4 4 0\n";
const std::string drawing_comment = long_text + "\n";

// Same size and pixels, and (with comments) the same comment text.
bool same_gray(void *a, void *b, bool comments = true) {
    const auto *x = static_cast<GrayImageStruct *>(a), *y = static_cast<GrayImageStruct *>(b);
    if (x->header->width != y->header->width || x->header->height != y->header->height) return false;
    for (int r = 0; r < x->header->height; ++r)
        if (std::memcmp(x->data[r], y->data[r], static_cast<size_t>(x->header->width)) != 0) return false;
    return !comments || std::strcmp(strGet(x->header->comment), strGet(y->header->comment)) == 0;
}

// Same geometry and pixel bytes (binary, gray or RGB).
bool same_pixels(const void *a, const void *b) {
    const ImageHeader *x = static_cast<const AnyImageStruct *>(a)->header;
    const ImageHeader *y = static_cast<const AnyImageStruct *>(b)->header;
    if (x->tag != y->tag || x->width != y->width || x->height != y->height || x->xoffset != y->xoffset ||
        x->yoffset != y->yoffset)
        return false;
    const std::size_t size = x->tag == IMAGE_RGB ? 3 : 1, row = static_cast<std::size_t>(x->width) * size;
    const auto at = [&](const void *im, int r) {
        return static_cast<const char *>(static_cast<const AnyImageStruct *>(im)->data[x->yoffset + r]) +
               static_cast<std::ptrdiff_t>(x->xoffset) * static_cast<std::ptrdiff_t>(size);
    };
    for (int r = 0; r < x->height; ++r)
        if (std::memcmp(at(a, r), at(b, r), row) != 0) return false;
    return true;
}

// A drawing whose fill has to grow its work lists: a comb of 40 teeth around the seed.
const std::string comb = [] {
    std::string t = "PTL 0 0 100 60\n0l 0 0 99 0\n";
    for (int x = 0; x < 100; x += 2) t += "0l " + std::to_string(x) + " 1 " + std::to_string(x) + " 58\n";
    return t + "f 1 30\n";
}();

// An operation that makes one new object: fail means null; success must equal the reference.
template <class Make, class Check, class Release> Operation making(Make make, Check check, Release release) {
    return [=](Injector &inj) {
        inj.arm();
        auto *result = make();
        inj.disarm();
        if (!result) return failed_cleanly;
        const bool good = check(result);
        release(result);
        return good ? ok : wrong;
    };
}

struct Named {
    const char *name;
    Operation op;
    // libtiff 4.5 itself may crash or leak when one of its own allocations fails: where the failed
    // allocation was libtiff's, that is reported, not failed. A wrong result always fails, and so
    // does a crash or a leak after any other allocation failed.
    bool libtiff = false;
};
void add_io_operations(std::vector<Named> &ops);

std::vector<Named> operations() {
    static const std::string gray_path = write_file("gray.pgm", pgm);
    static const std::string drawing_path = write_file("drawing.cptl", drawing);
    static const std::string out_path = dir() + "/out.pgm";
    static const std::string comb_path = write_file("comb.ptl", comb);
    // What each rendering gives when nothing fails.
    const auto rendered = [](const std::string &path, unsigned short type, float scale) {
        PointList p = ptlLoad(path.c_str());
        void *im = ptlRender(p, type, scale, scale, RGB{0, 0, 0}, nullptr);
        ptlFree(p);
        return im;
    };
    static void *const colour_reference = rendered(drawing_path, IMAGE_RGB, 2);
    static void *const binary_reference = rendered(drawing_path, IMAGE_BINARY, 2);
    static void *const comb_reference = rendered(comb_path, IMAGE_BINARY, 1);
    std::vector<Named> ops;
    ops.push_back(
        {"strMake", making([] { return strMake("some text"); },
                           [](adtStringHeader *s) { return std::strcmp(strGet(s), "some text") == 0; }, strFree)});
    ops.push_back({"strCat_", [](Injector &inj) {
                       adtStringHeader *s = strMake("abc");
                       adtStringHeader *t = strMake("0123456789012345678901234567890123456789");
                       inj.arm();
                       adtStringHeader *r = strCat_(&s, t);
                       inj.disarm();
                       const bool good = r ? std::strcmp(strGet(s), "abc0123456789012345678901234567890123456789") == 0
                                           : std::strcmp(strGet(s), "abc") == 0;
                       strFree(s);
                       strFree(t);
                       return !good ? wrong : r ? ok : failed_cleanly;
                   }});
    ops.push_back({"chNew+chAlloc", making(
                                        [] {
                                            Chunk c = chNew(32);
                                            if (c == NULLCHUNK) return static_cast<Chunk>(nullptr);
                                            if (!chAlloc(c)) {
                                                chNuke(c);
                                                return static_cast<Chunk>(nullptr);
                                            }
                                            return c;
                                        },
                                        [](Chunk) { return true; }, chNuke)});
    ops.push_back({"liNew+liAdd", making(
                                      [] {
                                          List l = liNew();
                                          if (l != NULLLIST && !liAdd(l, nullptr)) {
                                              liFree(l);
                                              return static_cast<List>(nullptr);
                                          }
                                          return l;
                                      },
                                      [](List l) { return liLen(l) == 1; }, liFree)});
    ops.push_back({"pqNew+pqAdd", making(
                                      [] {
                                          PriQ q = pqNew([](void *a, void *b) { return a > b; });
                                          if (q != NULLPRIQ && !pqAdd(q, nullptr)) {
                                              pqFree(q);
                                              return static_cast<PriQ>(nullptr);
                                          }
                                          return q;
                                      },
                                      [](PriQ q) { return pqLen(q) == 1; }, pqFree)});
    ops.push_back({"genNew_", making(
                                  [] {
                                      GenGaussianParams p{0, 1};
                                      return genNew_(GEN_GAUSSIAN, 0, &p);
                                  },
                                  [](void *) { return true; }, [](void *g) { genFree_(GEN_GAUSSIAN, g); })});
    ops.push_back({"hiNew", making([] { return hiNew(10, 0, 1); }, [](Hist) { return true; }, hiFree)});
    ops.push_back({"vec_Dup_", [](Injector &inj) {
                       void *v = vec_New_(VECTOR_INT, 5, 0, 0, 0, nullptr);
                       inj.arm();
                       void *d = vec_Dup_(v, static_cast<AnyVectorStruct *>(v)->header);
                       inj.disarm();
                       vec_Free_(v, VECTOR_INT);
                       if (d) vec_Free_(d, VECTOR_INT);
                       return d ? ok : failed_cleanly;
                   }});
    const auto gray = [] { return im_Load(IMAGE_GRAY, gray_path.c_str()); };
    const auto release_image = [](void *im) { im_Free_(im, static_cast<AnyImageStruct *>(im)->header->tag); };
    ops.push_back({"im_Load", making([=] { return im_Load(IMAGE_GRAY, gray_path.c_str()); },
                                     [=](void *im) {
                                         void *ref = gray();
                                         const bool good = same_gray(im, ref);
                                         im_Free_(ref, IMAGE_GRAY);
                                         return good;
                                     },
                                     release_image)});
    ops.push_back({"im_LoadH", making(
                                   [=] {
                                       const int fd = open(gray_path.c_str(), O_RDONLY);
                                       void *im = im_LoadH(IMAGE_GRAY, fd);
                                       const bool still_open = fcntl(fd, F_GETFD) != -1;
                                       close(fd);
                                       return still_open ? im : nullptr;
                                   },
                                   [=](void *im) {
                                       void *ref = gray();
                                       const bool good = same_gray(im, ref);
                                       im_Free_(ref, IMAGE_GRAY);
                                       return good;
                                   },
                                   release_image)});
    ops.push_back({"im_LoadInto_", [=](Injector &inj) {
                       void *into = gray(), *before = im_Dup_(into, static_cast<AnyImageStruct *>(into)->header);
                       inj.arm();
                       void *r = im_LoadInto_(into, static_cast<AnyImageStruct *>(into)->header, gray_path.c_str());
                       inj.disarm();
                       const bool unchanged = same_gray(into, before, false);
                       im_Free_(into, IMAGE_GRAY);
                       im_Free_(before, IMAGE_GRAY);
                       return !unchanged ? wrong : r ? ok : failed_cleanly;
                   }});
    ops.push_back({"im_Save_", [=](Injector &inj) {
                       void *im = gray();
                       inj.arm();
                       const int r = im_Save_(im, static_cast<AnyImageStruct *>(im)->header, out_path.c_str());
                       inj.disarm();
                       bool good = true;
                       if (r == 0) {
                           void *back = im_Load(IMAGE_GRAY, out_path.c_str());
                           good = back && same_gray(back, im, false);
                           if (back) im_Free_(back, IMAGE_GRAY);
                       }
                       im_Free_(im, IMAGE_GRAY);
                       return !good ? wrong : r == 0 ? ok : failed_cleanly;
                   }});
    ops.push_back({"im_SaveH_", [=](Injector &inj) {
                       void *im = gray();
                       const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                       inj.arm();
                       const int r = im_SaveH_(im, static_cast<AnyImageStruct *>(im)->header, fd);
                       inj.disarm();
                       const bool still_open = fcntl(fd, F_GETFD) != -1;
                       close(fd);
                       bool good = still_open;
                       if (r == 0) {
                           void *back = im_Load(IMAGE_GRAY, out_path.c_str());
                           good = good && back && same_gray(back, im, false);
                           if (back) im_Free_(back, IMAGE_GRAY);
                       }
                       im_Free_(im, IMAGE_GRAY);
                       return !good ? wrong : r == 0 ? ok : failed_cleanly;
                   }});
    // The rest of the allocating functions, each making one new object from one made before.
    const auto image_from = [=](const char *name, auto make) {
        return Named{name, [=](Injector &inj) {
                         auto *src = static_cast<AnyImageStruct *>(gray());
                         inj.arm();
                         void *made = make(src);
                         inj.disarm();
                         im_Free_(src, IMAGE_GRAY);
                         if (made) im_Free_(made, static_cast<AnyImageStruct *>(made)->header->tag);
                         return made ? ok : failed_cleanly;
                     }};
    };
    ops.push_back(image_from("im_NewOrWrap_", [](AnyImageStruct *) {
        return im_NewOrWrap_(IMAGE_RGB, 9, 4, -2, 3, nullptr, 0, 0, nullptr);
    }));
    ops.push_back(image_from("tessera_image_new_unfilled", [](AnyImageStruct *) {
        return static_cast<AnyImageStruct *>(tessera_image_new_unfilled(IMAGE_RGB, 9, 4));
    }));
    ops.push_back(image_from("im_Dup_", [](AnyImageStruct *s) { return im_Dup_(s, s->header); }));
    ops.push_back(image_from("im_Crop_", [](AnyImageStruct *s) { return im_Crop_(s, s->header, 1, 0, 2, 2); }));
    ops.push_back(image_from("im_Crop_Into_ (new)",
                             [](AnyImageStruct *s) { return im_Crop_Into_(s, s->header, nullptr, 0, 0, 0, 0, 2, 2); }));
    ops.push_back(image_from("imBorders", [](AnyImageStruct *s) { return imBorders(s, 2); }));
    ops.push_back(image_from("imCrop", [](AnyImageStruct *s) { return imCrop(s, 0, 0, 2, 2); }));
    ops.push_back({"strings", making(
                                  [] {
                                      adtStringHeader *a = strNew(2), *b = nullptr;
                                      if (a && strAddChar_(&a, 'x') && strAddChar_(&a, 'y') && strAddChar_(&a, 'z') &&
                                          strNewLen_(&a, 40) == 0 && strInit_(&b, "text") && strCopy_(&b, a)) {
                                          adtStringHeader *c = strNewCopy(b);
                                          strFree(a);
                                          strFree(b);
                                          return c;
                                      }
                                      strFree(a);
                                      strFree(b);
                                      return static_cast<adtStringHeader *>(nullptr);
                                  },
                                  [](adtStringHeader *c) { return std::strcmp(strGet(c), "xyz") == 0; }, strFree)});
    ops.push_back({"vec_New_", making([] { return vec_New_(VECTOR_DOUBLE, 9, -3, 0, 0, nullptr); },
                                      [](void *) { return true; }, [](void *v) { vec_Free_(v, VECTOR_DOUBLE); })});
    ops.push_back(
        {"ptlNew+ptlNewElem+ptlAddElem", making(
                                             [] {
                                                 adtStringHeader *comment = strMake("c");
                                                 PointList p = comment ? ptlNew(true, 0, 0, 4, 4, comment) : nullptr;
                                                 if (!p) {
                                                     strFree(comment); // still the caller's when no list was made
                                                     return p;
                                                 }
                                                 PointListElem e = ptlNewElem(PTL_LINE, RGB{1, 2, 3}, 2, 0, 0, 3, 3);
                                                 if (e) ptlAddElem(p, e);
                                                 if (!e || liLen(p->elements) != 1) {
                                                     if (e && liLen(p->elements) != 1) ptlFreeElem(e);
                                                     ptlFree(p);
                                                     return static_cast<PointList>(nullptr);
                                                 }
                                                 return p;
                                             },
                                             [](PointList p) { return liLen(p->elements) == 1; }, ptlFree)});
    ops.push_back({"ptlStartRendering", [](Injector &inj) {
                       ptlStartRendering(IMAGE_RGB, 1, 1, 3, 4, 17, 9);
                       inj.arm();
                       const int r = ptlStartRendering(IMAGE_RGB, 1, 1, 3, 4, 18, 9); // another geometry
                       inj.disarm();
                       // a failed re-creation leaves no count image; the next start makes one again
                       if (ptlStartRendering(IMAGE_RGB, 1, 1, 3, 4, 17, 9) != 0) return wrong;
                       return r == 0 ? ok : r == -1 ? failed_cleanly : wrong;
                   }});
    ops.push_back({"magic readers", [=](Injector &inj) {
                       std::FILE *f = std::fopen(gray_path.c_str(), "rb");
                       adtStringHeader *word = nullptr;
                       int32_t w = 0;
                       float h = 0;
                       inj.arm();
                       const bool read = magicStart() == 0 && magicGetString(f, &word) == 0 &&
                                         magicGetInt(f, &w) == 0 && magicGetFloat(f, &h) == 0;
                       inj.disarm();
                       const bool good = !read || (std::strcmp(strGet(word), "P5") == 0 && w == 3 && h == 2);
                       strFree(word);
                       std::fclose(f);
                       return !good ? wrong : read ? ok : failed_cleanly;
                   }});
    // An operation making a new image from a gray one.
    const auto transforming = [=](AnyImageStruct *(*make)(AnyImageStruct *)) {
        return [=](Injector &inj) {
            auto *im = static_cast<AnyImageStruct *>(gray());
            inj.arm();
            AnyImageStruct *s = make(im);
            inj.disarm();
            im_Free_(im, IMAGE_GRAY);
            if (s) im_Free_(s, IMAGE_GRAY);
            return s ? ok : failed_cleanly;
        };
    };
    ops.push_back({"imScale", transforming([](AnyImageStruct *im) { return imScale(im, 7, 5); })});
    ops.push_back({"tessera_resize",
                   transforming([](AnyImageStruct *im) { return tessera_resize(im, 7, 5, TESSERA_LANCZOS3); })});
    ops.push_back({"tessera_rotate", transforming([](AnyImageStruct *im) { return tessera_rotate(im, 90); })});
    ops.push_back({"tessera_over and an RGBA resize", [](Injector &inj) {
                       auto *top =
                           static_cast<AnyImageStruct *>(im_NewOrWrap_(IMAGE_RGBA, 9, 7, 0, 0, nullptr, 0, 0, nullptr));
                       auto *bottom =
                           static_cast<AnyImageStruct *>(im_NewOrWrap_(IMAGE_RGB, 9, 7, 0, 0, nullptr, 0, 0, nullptr));
                       inj.arm();
                       AnyImageStruct *laid = tessera_over(top, bottom);
                       AnyImageStruct *resized = tessera_resize(top, 5, 11, TESSERA_BICUBIC);
                       inj.disarm();
                       const bool both = laid && resized;
                       if (laid) im_Free_(laid, IMAGE_RGB);
                       if (resized) im_Free_(resized, IMAGE_RGBA);
                       im_Free_(top, IMAGE_RGBA);
                       im_Free_(bottom, IMAGE_RGB);
                       return both ? ok : failed_cleanly;
                   }});
    ops.push_back(
        {"ptlLoad", making([=] { return ptlLoad(drawing_path.c_str()); },
                           [](PointList p) { return liLen(p->elements) == 3 && strGet(p->comment) == drawing_comment; },
                           ptlFree)});
    ops.push_back({"ptlSave", [=](Injector &inj) {
                       PointList p = ptlLoad(drawing_path.c_str());
                       const std::string out = write_file("out.cptl", "an older file\n");
                       inj.arm();
                       const int r = ptlSave(p, out.c_str());
                       inj.disarm();
                       bool good = true;
                       if (r == 0) {
                           PointList back = ptlLoad(out.c_str());
                           good = back && liLen(back->elements) == 3;
                           if (back) ptlFree(back);
                       } else { // a failed save leaves the file as it was
                           std::FILE *f = std::fopen(out.c_str(), "r");
                           char text[32] = {};
                           good = f && std::fgets(text, sizeof text, f) && std::string(text) == "an older file\n";
                           if (f) std::fclose(f);
                       }
                       ptlFree(p);
                       return !good ? wrong : r == 0 ? ok : failed_cleanly;
                   }});
    ops.push_back({"tessera_temporary_file", [](Injector &inj) {
                       inj.arm();
                       FILE *f = tessera_temporary_file();
                       inj.disarm();
                       if (!f) return tessera_last_error()[0] ? failed_cleanly : wrong;
                       const bool good = std::fputs("scratch", f) >= 0 && std::fflush(f) == 0;
                       std::fclose(f);
                       return good ? ok : wrong;
                   }});
    ops.push_back({"ptlRender", [=](Injector &inj) {
                       PointList p = ptlLoad(drawing_path.c_str());
                       bool clipped = false;
                       inj.arm();
                       void *im = ptlRender(p, IMAGE_RGB, 2, 2, RGB{0, 0, 0}, &clipped);
                       inj.disarm();
                       const bool good =
                           !im || (strGet(static_cast<AnyImageStruct *>(im)->header->comment) == drawing_comment &&
                                   same_pixels(im, colour_reference));
                       if (im) im_Free_(im, IMAGE_RGB);
                       ptlFree(p);
                       return !good ? wrong : im ? ok : failed_cleanly;
                   }});
    // the lower part of each rendering made alone: the reference's pixels there (binary
    // renderings of drawings with fills are refused)
    static const std::string lines_path = write_file("lines.cptl", "CPTL 0 0 8 8\n3l 0 0 8 8 0xff0000\n2e 4 4 2 3 0\n");
    static void *const lines_reference = rendered(lines_path, IMAGE_BINARY, 2);
    for (const unsigned short type : {IMAGE_RGB, IMAGE_BINARY}) {
        ops.push_back(
            {type == IMAGE_RGB ? "tessera_render_area colour" : "tessera_render_area binary", [=](Injector &inj) {
                 const void *reference = type == IMAGE_RGB ? colour_reference : lines_reference;
                 const ImageHeader *r = static_cast<const AnyImageStruct *>(reference)->header;
                 PointList p = ptlLoad((type == IMAGE_RGB ? drawing_path : lines_path).c_str());
                 const int32_t top = r->yoffset + r->height / 3, rows = r->height - r->height / 3;
                 if (type == IMAGE_RGB) ptlStartRendering(type, 2, 2, r->xoffset, top, r->width, rows);
                 inj.arm();
                 void *im = tessera_render_area(p, type, 2, 2, RGB{0, 0, 0}, r->xoffset, top, r->width, rows, nullptr);
                 inj.disarm();
                 ptlFree(p);
                 if (!im) return tessera_last_error()[0] ? failed_cleanly : wrong;
                 const std::size_t bytes = type == IMAGE_RGB ? 3 : 1;
                 bool good = true;
                 for (int32_t y = top; y < top + rows; ++y)
                     good = good &&
                            std::memcmp(static_cast<char *>(static_cast<AnyImageStruct *>(im)->data[y]) +
                                            r->xoffset * static_cast<int32_t>(bytes),
                                        static_cast<char *>(static_cast<const AnyImageStruct *>(reference)->data[y]) +
                                            r->xoffset * static_cast<int32_t>(bytes),
                                        static_cast<std::size_t>(r->width) * bytes) == 0;
                 im_Free_(im, type);
                 return good ? ok : wrong;
             }});
    }
    ops.push_back({"ptlRender binary with a fill", [=](Injector &inj) {
                       PointList p = ptlLoad(comb_path.c_str());
                       bool clipped = true;
                       inj.arm();
                       void *im = ptlRender(p, IMAGE_BINARY, 1, 1, RGB{0, 0, 0}, &clipped);
                       inj.disarm();
                       const bool good = im ? same_pixels(im, comb_reference) && !clipped : !clipped;
                       if (im) im_Free_(im, IMAGE_BINARY);
                       ptlFree(p);
                       return !good ? wrong : im ? ok : failed_cleanly;
                   }});
    ops.push_back({"ptl_RenderElem_ fill", [=](Injector &inj) {
                       PointList p = ptlLoad(comb_path.c_str());
                       void *im = im_NewOrWrap_(IMAGE_BINARY, 100, 60, 0, 0, nullptr, 0, 0, nullptr);
                       ImageHeader *h = static_cast<AnyImageStruct *>(im)->header;
                       _ListNode *n = liFirst(p->elements);
                       for (; liNext(n); n = liNext(n))
                           ptl_RenderElem_(static_cast<PointListElem>(liGet(n)), im, h, 1, 1);
                       void *before = im_Dup_(im, h);
                       inj.arm();
                       const int32_t r = ptl_RenderElem_(static_cast<PointListElem>(liGet(n)), im, h, 1, 1);
                       inj.disarm();
                       // drawn whole, or failed with the image as it was
                       const bool good = r == 0 ? same_pixels(im, comb_reference) : r == -1 && same_pixels(im, before);
                       im_Free_(before, IMAGE_BINARY);
                       im_Free_(im, IMAGE_BINARY);
                       ptlFree(p);
                       return !good ? wrong : r == 0 ? ok : failed_cleanly;
                   }});
    ops.push_back({"ptlLoadAndRender", [=](Injector &inj) {
                       std::FILE *f = std::fopen(drawing_path.c_str(), "r");
                       adtStringHeader *magic = nullptr;
                       inj.arm();
                       void *im = nullptr;
                       if (magicStart() == 0 && magicGetString(f, &magic) == 0)
                           im = ptlLoadAndRender(f, true, IMAGE_BINARY, 2, 2, RGB{0, 0, 0}, nullptr);
                       inj.disarm();
                       const bool good =
                           !im || (strGet(static_cast<AnyImageStruct *>(im)->header->comment) == drawing_comment &&
                                   same_pixels(im, binary_reference));
                       if (im) im_Free_(im, IMAGE_BINARY);
                       strFree(magic);
                       std::fclose(f);
                       return !good ? wrong : im ? ok : failed_cleanly;
                   }});
    add_io_operations(ops);
    return ops;
}

// ---- image files through libtessera_io -------------------------------------------------------

// A small RGB picture with every channel varying, in memory as format name (made once, with
// nothing failing).
std::string encoded(const char *format, uint16_t tag) {
    void *im = im_NewOrWrap_(tag, 13, 7, 0, 0, nullptr, 0, 0, nullptr);
    auto *a = static_cast<AnyImageStruct *>(im);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 13; ++x) {
            if (tag == IMAGE_RGB)
                static_cast<RGB *>(a->data[y])[x] =
                    RGB{static_cast<uint8_t>(x * 19), static_cast<uint8_t>(y * 37), static_cast<uint8_t>(x * y * 3)};
            else if (tag == IMAGE_INT) static_cast<int32_t *>(a->data[y])[x] = x * 5000 + y * 31;
            else if (tag == IMAGE_RGBA)
                static_cast<RGBA *>(a->data[y])[x] = RGBA{static_cast<uint8_t>(x * 19), static_cast<uint8_t>(y * 37), 9,
                                                          static_cast<uint8_t>(x * y * 3)};
            else if (tag == IMAGE_RGB16)
                static_cast<RGB16 *>(a->data[y])[x] = RGB16{
                    static_cast<uint16_t>(x * 5000), static_cast<uint16_t>(y * 31), static_cast<uint16_t>(x * y * 700)};
            else static_cast<uint8_t *>(a->data[y])[x] = static_cast<uint8_t>(x * 19 + y);
        }
    tessera_io_save_options o;
    tessera_io_save_defaults(&o);
    if (tag == IMAGE_INT) o.depth = 16;
    void *data = nullptr;
    size_t size = 0;
    tessera_io_save_memory(im, tessera_io_format_named(format), &o, &data, &size);
    std::string bytes(static_cast<const char *>(data), size);
    std::free(data);
    im_Free_(im, tag);
    return bytes;
}

// The temporaries a save left in dir() ("name.tessera-..." files).
int temporaries_left() {
    int n = 0;
    DIR *d = opendir(dir().c_str());
    while (dirent *e = readdir(d))
        if (std::strstr(e->d_name, ".tessera-")) ++n;
    closedir(d);
    return n;
}

std::string read_file(const std::string &path) {
    std::string bytes;
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
        std::fclose(f);
    }
    return bytes;
}

// Files other programs write in layouts tessera's writers do not: made with libtiff, libjpeg and
// libpng themselves, 13 x 7 pixels, before anything is armed.
std::string tiff_file(const char *name, uint16_t photometric, uint16_t compression, uint32_t tile) {
    const std::string path = dir() + "/" + name;
    TIFF *t = TIFFOpen(path.c_str(), "w");
    const uint16_t spp = photometric == PHOTOMETRIC_PALETTE ? 1 : 3;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 13);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 7);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    if (compression == COMPRESSION_JPEG) TIFFSetField(t, TIFFTAG_JPEGQUALITY, 90);
    if (photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> r(256), g(256), b(256);
        for (int i = 0; i < 256; ++i)
            r[i] = static_cast<uint16_t>(i * 257), g[i] = static_cast<uint16_t>(65535 - i * 257),
            b[i] = static_cast<uint16_t>(i * 97 % 256 * 257);
        TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    }
    const auto value = [](uint32_t x, uint32_t y, uint32_t c) {
        return static_cast<unsigned char>(x * 19 + y * 37 + c * 50);
    };
    if (tile) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, tile);
        TIFFSetField(t, TIFFTAG_TILELENGTH, tile);
        std::vector<unsigned char> buf(static_cast<std::size_t>(TIFFTileSize(t)));
        for (uint32_t y0 = 0; y0 < 7; y0 += tile)
            for (uint32_t x0 = 0; x0 < 13; x0 += tile) {
                for (uint32_t y = 0; y < tile; ++y)
                    for (uint32_t x = 0; x < tile; ++x)
                        for (uint32_t c = 0; c < spp; ++c) buf[(y * tile + x) * spp + c] = value(x0 + x, y0 + y, c);
                TIFFWriteTile(t, buf.data(), x0, y0, 0, 0);
            }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, compression == COMPRESSION_JPEG ? 8 : 3);
        std::vector<unsigned char> row(13 * spp);
        for (uint32_t y = 0; y < 7; ++y) {
            for (uint32_t x = 0; x < 13; ++x)
                for (uint32_t c = 0; c < spp; ++c) row[x * spp + c] = value(x, y, c);
            TIFFWriteScanline(t, row.data(), y, 0);
        }
    }
    TIFFClose(t);
    return read_file(path);
}

std::string progressive_jpeg() {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = 13, c.image_height = 7, c.input_components = 3, c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    unsigned char row[13 * 3];
    while (c.next_scanline < 7) {
        for (int i = 0; i < 39; ++i) row[i] = static_cast<unsigned char>(i * 6 + c.next_scanline * 30);
        JSAMPROW r = row;
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::string bytes(reinterpret_cast<const char *>(out), size);
    jpeg_destroy_compress(&c);
    ::free(out);
    return bytes;
}

// A PNG whose profile is Display P3, made by Little CMS.
std::string p3_png() {
    const cmsCIExyY white = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
    cmsToneCurve *curve = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number n = 0;
    cmsSaveProfileToMem(profile, nullptr, &n);
    std::string icc(n, '\0');
    cmsSaveProfileToMem(profile, icc.data(), &n);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    const std::string plain = encoded("png", IMAGE_RGB);
    void *im = tessera_io_load_memory(plain.data(), plain.size(), nullptr, nullptr);
    tessera_io_metadata m{icc.data(), icc.size(), nullptr, 0, nullptr, 0};
    tessera_io_save_options o;
    tessera_io_save_defaults(&o);
    o.metadata = &m;
    void *data = nullptr;
    std::size_t size = 0;
    tessera_io_save_memory(im, tessera_io_format_named("png"), &o, &data, &size);
    im_Free_(im, IMAGE_RGB);
    std::string bytes(static_cast<char *>(data), size);
    std::free(data);
    return bytes;
}

// A CMYK JPEG with ghostscript's CMYK profile, or "" when that profile is not installed.
std::string cmyk_jpeg() {
    const std::string icc = read_file("/usr/share/color/icc/ghostscript/ps_cmyk.icc");
    if (icc.empty()) return "";
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = 13, c.image_height = 7, c.input_components = 4, c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_start_compress(&c, TRUE);
    jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET *>(icc.data()), static_cast<unsigned>(icc.size()));
    unsigned char row[13 * 4];
    while (c.next_scanline < 7) {
        for (int i = 0; i < 52; ++i) row[i] = static_cast<unsigned char>(i * 5 + c.next_scanline * 30);
        JSAMPROW r = row;
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::string bytes(reinterpret_cast<const char *>(out), size);
    jpeg_destroy_compress(&c);
    ::free(out);
    return bytes;
}

std::string png_file(bool interlaced, bool sixteen_alpha) {
    const std::string path = dir() + "/made.png";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    png_init_io(p, f);
    png_set_IHDR(p, info, 13, 7, sixteen_alpha ? 16 : 8, sixteen_alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(p, info);
    const int per = sixteen_alpha ? 8 : 3;
    std::vector<unsigned char> image(13 * 7 * per);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + i / 13);
    std::vector<png_bytep> rows(7);
    for (int y = 0; y < 7; ++y) rows[y] = image.data() + y * 13 * per;
    png_write_image(p, rows.data());
    png_write_end(p, nullptr);
    png_destroy_write_struct(&p, &info);
    std::fclose(f);
    return read_file(path);
}

void add_io_operations(std::vector<Named> &ops) {
    struct File {
        const char *name, *format;
        uint16_t tag;
        int depth;
    };
    static const File files[] = {{"png", "png", IMAGE_RGB, 0},
                                 {"png16", "png", IMAGE_INT, 1},
                                 {"jpeg", "jpeg", IMAGE_RGB, 0},
                                 {"tiff", "tiff", IMAGE_RGB, 0},
                                 {"tiff16", "tiff", IMAGE_INT, 1},
                                 {"pgm16", "pgm", IMAGE_INT, 1},
                                 {"pam", "pam", IMAGE_GRAY, 0},
                                 {"webp", "webp", IMAGE_RGB, 0},
                                 // (WebP without alpha only: in Debian's libwebp 1.2.4 the lossless decoder,
                                 // which also holds a lossy file's alpha, crashes when an allocation
                                 // inside it fails)
                                 {"png rgba", "png", IMAGE_RGBA, TESSERA_IO_OWN},
                                 {"bmp rgba", "bmp", IMAGE_RGBA, TESSERA_IO_OWN},
                                 {"gif", "gif", IMAGE_RGB, TESSERA_IO_OWN},
                                 {"tiff rgb16", "tiff", IMAGE_RGB16, TESSERA_IO_OWN}};
    const auto release_image = [](void *im) { im_Free_(im, static_cast<AnyImageStruct *>(im)->header->tag); };
    for (const File &f : files) {
        static std::deque<std::string> names; // the operations' names live as long as the table
        const std::string bytes = encoded(f.format, f.tag);
        const std::string path = write_file(std::string("io.") + f.name, bytes);
        tessera_io_load_options o;
        tessera_io_load_defaults(&o);
        o.depth = f.depth;
        void *reference = tessera_io_load(path.c_str(), &o, nullptr);
        names.push_back(std::string("tessera_io_load ") + f.name);
        ops.push_back({names.back().c_str(), making([=] { return tessera_io_load(path.c_str(), &o, nullptr); },
                                                    [=](void *im) {
                                                        const auto *a = static_cast<AnyImageStruct *>(im);
                                                        const auto *r = static_cast<AnyImageStruct *>(reference);
                                                        return a->header->tag == r->header->tag &&
                                                               (a->header->tag == IMAGE_INT ||
                                                                same_pixels(im, reference));
                                                    },
                                                    release_image)});
        names.push_back(std::string("tessera_io_probe ") + f.name);
        ops.push_back({names.back().c_str(), [=](Injector &inj) {
                           tessera_io_info info{};
                           inj.arm();
                           const uint16_t tag = tessera_io_probe(path.c_str(), &o, &info);
                           inj.disarm();
                           if (!tag) return tessera_io_last_error()[0] ? failed_cleanly : wrong;
                           const ImageHeader *h = static_cast<AnyImageStruct *>(reference)->header;
                           return tag == h->tag && info.width == h->width && info.height == h->height ? ok : wrong;
                       }});
        names.push_back(std::string("tessera_io_thumbnail ") + f.name);
        ops.push_back(
            {names.back().c_str(),
             making([=] { return tessera_io_thumbnail(path.c_str(), 3, 0, TESSERA_LANCZOS3, &o, nullptr); },
                    [](void *im) { return static_cast<AnyImageStruct *>(im)->header->width == 3; }, release_image)});
        names.push_back(std::string("tessera_io_load_file from a pipe ") + f.name);
        ops.push_back({names.back().c_str(), [=](Injector &inj) {
                           int fds[2];
                           if (pipe(fds) != 0) return wrong;
                           if (write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
                               return wrong;
                           close(fds[1]);
                           std::FILE *in = fdopen(fds[0], "rb");
                           inj.arm();
                           void *im = tessera_io_load_file(in, &o, nullptr);
                           inj.disarm();
                           std::fclose(in);
                           if (!im) return failed_cleanly;
                           const bool good = static_cast<AnyImageStruct *>(im)->header->tag == IMAGE_INT ||
                                             same_pixels(im, reference);
                           im_Free_(im, static_cast<AnyImageStruct *>(im)->header->tag);
                           return good ? ok : wrong;
                       }});
        // a crop and a resize from file to file, row by row where the reader gives rows; and a
        // crop and a turn through the temporary file of tiles
        for (const int32_t degrees : {0, 90}) {
            names.push_back(std::string(degrees ? "tessera_io_pipeline turned " : "tessera_io_pipeline ") + f.name);
            ops.push_back(
                {names.back().c_str(), [=](Injector &inj) {
                     tessera_io_steps st{};
                     const ImageHeader *h = static_cast<AnyImageStruct *>(reference)->header;
                     st.crop_left = 1, st.crop_top = 1, st.crop_width = h->width - 2, st.crop_height = h->height - 2;
                     st.width = degrees ? 0 : 5, st.filter = TESSERA_LANCZOS3, st.degrees = degrees;
                     const std::string want = dir() + "/io-pipe-want.tif", out = dir() + "/io-pipe.tif";
                     const std::string old = "the old file";
                     if (tessera_io_pipeline(path.c_str(), want.c_str(), nullptr, &st, nullptr, nullptr, nullptr) != 0)
                         return wrong;
                     write_file("io-pipe.tif", old);
                     inj.arm();
                     const int status =
                         tessera_io_pipeline(path.c_str(), out.c_str(), nullptr, &st, nullptr, nullptr, nullptr);
                     inj.disarm();
                     if (temporaries_left() != 0) return wrong;
                     if (status != 0)
                         return read_file(out) == old && tessera_io_last_error()[0] ? failed_cleanly : wrong;
                     return read_file(out) == read_file(want) ? ok : wrong;
                 }});
        }
        names.push_back(std::string("tessera_io_save over a file ") + f.name);
        ops.push_back({names.back().c_str(), [=](Injector &inj) {
                           const std::string out = dir() + "/io-out." + f.format, old = "the old file";
                           write_file(std::string("io-out.") + f.format, old);
                           tessera_io_save_options s;
                           tessera_io_save_defaults(&s);
                           s.depth = f.depth == TESSERA_IO_KEEP ? 16 : 0;
                           inj.arm();
                           const int status = tessera_io_save(reference, out.c_str(), nullptr, &s);
                           inj.disarm();
                           const std::string now = read_file(out);
                           if (temporaries_left() != 0) return wrong;
                           if (status != 0) return now == old ? failed_cleanly : wrong;
                           // lossy encoders may take other ways when memory is short: a whole file
                           // that decodes is what counts there
                           const bool lossy = std::strcmp(f.format, "jpeg") == 0 || std::strcmp(f.name, "webp") == 0;
                           return f.depth == TESSERA_IO_KEEP || lossy || now == bytes ? ok : wrong;
                       }});
    }
    // A picture saved a row at a time: the bytes of a whole save, or -1, the old file and no leak.
    for (const char *format : {"tiff", "jpeg", "pam", "png"}) {
        static std::deque<std::string> names;
        names.push_back(std::string("tessera_io_save_rows ") + format);
        ops.push_back({names.back().c_str(), [=](Injector &inj) {
                           static void *const picture = tessera_io_load_memory(
                               encoded("png", IMAGE_RGB).data(), encoded("png", IMAGE_RGB).size(), nullptr, nullptr);
                           const ImageHeader *h = static_cast<AnyImageStruct *>(picture)->header;
                           const std::string want = dir() + "/rows-want." + format, out = dir() + "/rows." + format;
                           if (tessera_io_save(picture, want.c_str(), nullptr, nullptr) != 0) return wrong;
                           write_file(std::string("rows.") + format, "the old file");
                           const auto row = [](void *im, int32_t y, void *to) {
                               const auto *a = static_cast<AnyImageStruct *>(im);
                               std::memcpy(to, a->data[y], static_cast<std::size_t>(a->header->width) * 3);
                               return 0;
                           };
                           inj.arm();
                           const int status = tessera_io_save_rows(out.c_str(), nullptr, IMAGE_RGB, h->width, h->height,
                                                                   row, picture, nullptr);
                           inj.disarm();
                           if (temporaries_left() != 0) return wrong;
                           if (status != 0)
                               return read_file(out) == "the old file" && tessera_io_last_error()[0] ? failed_cleanly
                                                                                                     : wrong;
                           return read_file(out) == read_file(want) ? ok : wrong;
                       }});
    }
    // Profiles, EXIF and XMP: a load that fails leaves the caller's blocks as they were, and one
    // that succeeds gives all three; a save writes them or fails.
    static const std::string icc = [] {
        std::string b(172, '\0');
        b[3] = static_cast<char>(172), b[10] = 0x10, b[8] = 2;
        b.replace(12, 4, "mntr"), b.replace(16, 4, "RGB "), b.replace(20, 4, "XYZ "), b.replace(36, 4, "acsp");
        for (std::size_t i = 132; i < b.size(); ++i) b[i] = static_cast<char>(i * 13);
        return b;
    }();
    static const std::string exif("II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x01\0\0\0\0\0\0\0", 26);
    static const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    static tessera_io_metadata given{const_cast<char *>(icc.data()),  icc.size(),
                                     const_cast<char *>(exif.data()), exif.size(),
                                     const_cast<char *>(xmp.data()),  xmp.size()};
    const auto same_blocks = [](const tessera_io_metadata &m) {
        return m.icc_size == icc.size() && std::memcmp(m.icc, icc.data(), icc.size()) == 0 &&
               m.exif_size == exif.size() && std::memcmp(m.exif, exif.data(), exif.size()) == 0 &&
               m.xmp_size == xmp.size() && std::memcmp(m.xmp, xmp.data(), xmp.size()) == 0;
    };
    // (Not TIFF: Debian's libtiff 4.5 crashes, or frees what it did not allocate, when an
    // allocation of its own fails while it sets or reads a tag of its custom kind, which
    // profiles, XMP and Photoshop's resources are.)
    for (const char *format : {"png", "jpeg", "webp"}) {
        static std::deque<std::string> names;
        const std::string plain = encoded(format, IMAGE_RGB);
        void *im = tessera_io_load_memory(plain.data(), plain.size(), nullptr, nullptr);
        tessera_io_save_options s;
        tessera_io_save_defaults(&s);
        s.metadata = &given;
        void *data = nullptr;
        std::size_t size = 0;
        if (!im || tessera_io_save_memory(im, tessera_io_format_named(format), &s, &data, &size) != 0) {
            ADD_FAILURE() << format << ": " << tessera_io_last_error();
            continue;
        }
        const std::string with(static_cast<char *>(data), size);
        std::free(data);
        names.push_back(std::string("tessera_io_load with metadata ") + format);
        ops.push_back({names.back().c_str(), [=](Injector &inj) {
                           tessera_io_metadata got{};
                           tessera_io_load_options o;
                           tessera_io_load_defaults(&o);
                           o.metadata = &got;
                           inj.arm();
                           void *back = tessera_io_load_memory(with.data(), with.size(), &o, nullptr);
                           inj.disarm();
                           if (!back) return !got.icc && !got.exif && !got.xmp ? failed_cleanly : wrong;
                           im_Free_(back, static_cast<AnyImageStruct *>(back)->header->tag);
                           const bool good = same_blocks(got);
                           tessera_io_metadata_free(&got);
                           return good ? ok : wrong;
                       }});
        names.push_back(std::string("tessera_io_save_memory with metadata ") + format);
        ops.push_back({names.back().c_str(), [=](Injector &inj) {
                           void *out = nullptr;
                           std::size_t n = 0;
                           inj.arm();
                           const int status = tessera_io_save_memory(im, tessera_io_format_named(format), &s, &out, &n);
                           inj.disarm();
                           if (status != 0) return out == nullptr ? failed_cleanly : wrong;
                           tessera_io_metadata got{};
                           tessera_io_load_options o;
                           tessera_io_load_defaults(&o);
                           o.metadata = &got;
                           void *back = tessera_io_load_memory(out, n, &o, nullptr);
                           std::free(out);
                           if (back) im_Free_(back, static_cast<AnyImageStruct *>(back)->header->tag);
                           const bool good = back && same_blocks(got);
                           tessera_io_metadata_free(&got);
                           return good ? ok : wrong;
                       }});
    }
    // A file with another name is written in place, once the whole text is in an unnamed file.
    ops.push_back({"ptlSave over a file with another link", [=](Injector &inj) {
                       PointList p = ptlLoad(write_file("small.cptl", "CPTL 0 0 9 9\np 1 1 0xff0000\n").c_str());
                       if (!p) return wrong;
                       const std::string out = write_file("linked.cptl", "an older file\n"),
                                         other = dir() + "/other.cptl";
                       unlink(other.c_str());
                       if (link(out.c_str(), other.c_str()) != 0) return wrong;
                       inj.arm();
                       const int r = ptlSave(p, out.c_str());
                       inj.disarm();
                       ptlFree(p);
                       const std::string now = read_file(other);
                       if (temporaries_left() != 0) return wrong;
                       if (r != 0) return now == "an older file\n" ? failed_cleanly : wrong;
                       return now.rfind("CPTL", 0) == 0 ? ok : wrong;
                   }});
    // Files of other programs: loads from a path fail cleanly or give the whole image.
    static const struct {
        const char *name;
        std::string bytes;
    } others[] = {
        {"tessera_io_load LZW TIFF", tiff_file("lzw.tif", PHOTOMETRIC_RGB, COMPRESSION_LZW, 0)},
        {"tessera_io_load palette TIFF", tiff_file("palette.tif", PHOTOMETRIC_PALETTE, COMPRESSION_LZW, 0)},
        {"tessera_io_load JPEG-in-TIFF", tiff_file("jpeg.tif", PHOTOMETRIC_RGB, COMPRESSION_JPEG, 0)},
        {"tessera_io_load tiled TIFF", tiff_file("tiled.tif", PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 16)},
        {"tessera_io_load progressive JPEG", progressive_jpeg()},
        {"tessera_io_load interlaced PNG", png_file(true, false)},
        {"tessera_io_load 16-bit RGBA PNG", png_file(false, true)},
    };
    for (const auto &f : others) {
        static int count = 0;
        const std::string path = write_file("other." + std::to_string(count++), f.bytes);
        void *reference = tessera_io_load(path.c_str(), nullptr, nullptr);
        if (!reference) {
            ADD_FAILURE() << f.name << ": " << tessera_io_last_error();
            continue;
        }
        ops.push_back({f.name,
                       making([=] { return tessera_io_load(path.c_str(), nullptr, nullptr); },
                              [=](void *im) { return same_pixels(im, reference); }, release_image),
                       std::strstr(f.name, "TIFF") != nullptr});
    }
    // Colours converted by a profile: an RGB PNG of Display P3, and a CMYK JPEG (when the
    // ghostscript profiles are installed, as the test script does).
    static const struct {
        const char *name;
        std::string bytes;
    } profiled[] = {{"tessera_io_load to_srgb P3 PNG", p3_png()}, {"tessera_io_load to_srgb CMYK JPEG", cmyk_jpeg()}};
    for (const auto &f : profiled) {
        if (f.bytes.empty()) continue;
        tessera_io_load_options o;
        tessera_io_load_defaults(&o);
        o.to_srgb = 1;
        void *reference = tessera_io_load_memory(f.bytes.data(), f.bytes.size(), &o, nullptr);
        if (!reference) {
            ADD_FAILURE() << f.name << ": " << tessera_io_last_error();
            continue;
        }
        const std::string bytes = f.bytes;
        ops.push_back({f.name, making([=] { return tessera_io_load_memory(bytes.data(), bytes.size(), &o, nullptr); },
                                      [=](void *im) { return same_pixels(im, reference); }, release_image)});
    }
    static void *const gray = [] {
        void *im = im_NewOrWrap_(IMAGE_GRAY, 9, 4, 2, 3, nullptr, 0, 0, nullptr);
        static_cast<GrayImageStruct *>(im)->data[4][5] = 200;
        return im;
    }();
    ops.push_back({"tessera_io_convert", making([] { return tessera_io_convert(gray, IMAGE_FLOAT3B, 0); },
                                                [](void *im) {
                                                    const auto *a = static_cast<AnyImageStruct *>(im);
                                                    return static_cast<const float *>(a->data[4])[3 * 5] == 200.0f;
                                                },
                                                release_image)});
}

// Runs op with allocation n failing (every one from n on, with every), in a child process.
// The exit status says what happened: 0 ok, 1 a clean failure, 2 a wrong result, +4 when the
// armed allocation was reached.
int in_child(const Operation &op, long n, bool every) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        Injector inj{n, every};
        const Outcome o = op(inj);
        _exit(static_cast<int>(o) + (delivered ? 4 : 0));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

// TESSERA_FAULTS_REPRODUCE="NAME:N" runs operation NAME with allocation N failing in this process
// ("NAME:N+": N and every later one), for a debugger's backtrace.
TEST(GlibcAllocationFailure, FreshProcessNeverAbortsOrGivesAPartialResult) {
    if (const char *only = std::getenv("TESSERA_FAULTS_REPRODUCE")) {
        const char *colon = std::strrchr(only, ':');
        ASSERT_NE(colon, nullptr) << "NAME:N";
        for (const Named &o : operations())
            if (std::string(o.name) == std::string(only, colon)) {
                Injector inj{std::atol(colon + 1), colon[std::strlen(colon) - 1] == '+'};
                std::printf("%s: outcome %d\n", o.name, static_cast<int>(o.op(inj)));
            }
        return;
    }
    for (const Named &o : operations()) {
        long n = 1;
        for (; n < 2000; ++n) {
            bool reached = false;
            for (bool every : {false, true}) {
                const int status = in_child(o.op, n, every);
                if (o.libtiff && status >= 128 && in_libtiff && *in_libtiff) {
                    std::printf("%s: libtiff's allocation %ld%s failing crashed libtiff (signal %d)\n", o.name, n,
                                every ? " and later" : "", status - 128);
                    reached = true;
                    continue;
                }
                ASSERT_LT(status, 8) << o.name << ": allocation " << n << (every ? " and later" : "")
                                     << " failing ended the process (status " << status << ")";
                EXPECT_NE(status & 3, 2) << o.name << ": allocation " << n << (every ? " and later" : "")
                                         << " failing gave a wrong or partial result";
                reached = reached || (status & 4);
            }
            if (!reached) break;
        }
        EXPECT_GT(n, 1) << o.name << " made no allocation";
        if (std::getenv("TESSERA_FAULTS_VERBOSE")) std::printf("%s: %ld allocations\n", o.name, n - 1);
    }
}

TEST(GlibcAllocationFailure, WarmProcessLeaksNothingAndKeepsTheCallersObjects) {
    for (const Named &o : operations()) {
        Injector none{0, false};
        ASSERT_EQ(o.op(none), ok) << o.name << " fails without any failure injected";
        long n = 1;
        for (; n < 2000; ++n) {
            bool reached = false;
            for (bool every : {false, true}) {
                if (o.libtiff && in_child(o.op, n, every) >= 128 && *in_libtiff) { // reported by the fresh test
                    reached = true;
                    continue;
                }
                Injector inj{n, every};
                const long before = live;
                const Outcome outcome = o.op(inj);
                EXPECT_NE(outcome, wrong) << o.name << ": allocation " << n << (every ? " and later" : "")
                                          << " failing gave a wrong or partial result";
                if (o.libtiff && live != before && *in_libtiff) {
                    std::printf("%s: libtiff's allocation %ld%s failing leaked %ld blocks in libtiff\n", o.name, n,
                                every ? " and later" : "", live - before);
                    reached = true;
                    continue;
                }
                EXPECT_EQ(live, before) << o.name << ": allocation " << n << (every ? " and later" : "")
                                        << " failing leaked " << live - before << " blocks";
                reached = reached || delivered;
            }
            if (!reached) break;
        }
        EXPECT_GT(n, 1) << o.name << " made no allocation";
    }
}

// A descriptor that cannot be read or written the way asked is a failed call, not an abort.
TEST(DescriptorFailures, WrongDirectionAndClosedDescriptorsFail) {
    const std::string path = write_file("d.pgm", pgm);
    const int rd = open(path.c_str(), O_RDONLY), wr = open((dir() + "/w.pgm").c_str(), O_WRONLY | O_CREAT, 0600);
    void *im = im_Load(IMAGE_GRAY, path.c_str());
    ASSERT_NE(im, nullptr);
    ImageHeader *h = static_cast<AnyImageStruct *>(im)->header;
    EXPECT_EQ(im_SaveH_(im, h, rd), -1);
    EXPECT_EQ(im_LoadH(IMAGE_GRAY, wr), nullptr);
    EXPECT_EQ(im_LoadHInto_(im, h, wr), nullptr);
    EXPECT_EQ(im_LoadH(IMAGE_GRAY, -1), nullptr);
    EXPECT_EQ(im_SaveH_(im, h, -1), -1);
    EXPECT_NE(fcntl(rd, F_GETFD), -1); // the caller's descriptors stay open
    EXPECT_NE(fcntl(wr, F_GETFD), -1);
    close(rd);
    close(wr);
    EXPECT_EQ(im_LoadH(IMAGE_GRAY, rd), nullptr); // closed
    im_Free_(im, IMAGE_GRAY);
}
