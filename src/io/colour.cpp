// Colours converted by a file's ICC profile to sRGB, through Little CMS: in place for gray and
// RGB images (with or without alpha, 8 or 16 bits), and row by row for CMYK JPEGs. Each
// conversion has a Little CMS context of its own, so that threads never share its state.
#include <lcms2.h>
#include <lcms2_plugin.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "codec.h"
#include "image/image_internal.h"

namespace tessera::detail::io {

namespace {

// What Little CMS said last on a context, for the reason of a failure.
struct Said {
    char text[160];
};

void on_lcms_error(cmsContext c, cmsUInt32Number, const char *text) {
    auto *said = static_cast<Said *>(cmsGetContextUserData(c));
    if (said && !said->text[0]) std::snprintf(said->text, sizeof said->text, "%s", text);
}

// A context is used by one thread, for one conversion: its profiles need no locks. Little CMS's
// own locks allocate and do not survive their allocation failing; these take no memory.
char no_lock;
void *create_lock(cmsContext) { return &no_lock; }
void destroy_lock(cmsContext, void *) {}
cmsBool take_lock(cmsContext, void *) { return TRUE; }
void give_lock(cmsContext, void *) {}

// Little CMS 2.14 does not survive every allocation of its own failing (its optimiser uses what
// it could not allocate), so a conversion's memory is one reservation made up front: address
// space, taken only as it is written, handed out in order and released whole at the end. An
// allocation past its end fails as malloc would; the reservation is sized far beyond what a
// conversion of a profile of that size takes.
struct Arena {
    unsigned char *base = nullptr;
    std::size_t size = 0, used = 0;
};
thread_local Arena *arena = nullptr; // the calling thread's conversion in progress

constexpr std::size_t head = 16; // a block's size, before it, keeping blocks aligned

void *arena_malloc(cmsContext, cmsUInt32Number n) {
    Arena *a = arena;
    const std::size_t need = head + ((static_cast<std::size_t>(n) + 15) & ~std::size_t{15});
    if (!a || need > a->size - a->used) return nullptr;
    unsigned char *p = a->base + a->used;
    a->used += need;
    std::memcpy(p, &need, sizeof need);
    return p + head;
}
void arena_free(cmsContext, void *) {}
void *arena_realloc(cmsContext c, void *old, cmsUInt32Number n) {
    void *p = arena_malloc(c, n);
    if (p && old) {
        std::size_t had = 0;
        std::memcpy(&had, static_cast<unsigned char *>(old) - head, sizeof had);
        std::memcpy(p, old, std::min<std::size_t>(had - head, n));
    }
    return p;
}

cmsPluginMutex without_locks = {
    {cmsPluginMagicNumber, 2060, cmsPluginMutexSig, nullptr}, create_lock, destroy_lock, take_lock, give_lock};
cmsPluginMemHandler in_arena = {{cmsPluginMagicNumber, 2060, cmsPluginMemHandlerSig, &without_locks.base},
                                arena_malloc,
                                arena_free,
                                arena_realloc,
                                nullptr,
                                nullptr,
                                nullptr};

// A conversion's context and memory: the calling thread's until it ends.
class Context {
  public:
    Said said{};
    cmsContext c = nullptr;

    // For profiles of up to profile_bytes; c is null (the reason set) when that cannot be had.
    explicit Context(std::size_t profile_bytes) : outer_(arena) {
        a_.size = (std::size_t{64} << 20) + 8 * profile_bytes;
        void *p = mmap(nullptr, a_.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            fail(Err::memory, "out of memory for a colour conversion");
            return;
        }
        a_.base = static_cast<unsigned char *>(p);
        arena = &a_;
        c = cmsCreateContext(&in_arena, &said);
        if (c) cmsSetLogErrorHandlerTHR(c, on_lcms_error);
        else fail(Err::memory, "out of memory for a colour conversion");
    }
    ~Context() {
        if (c) cmsDeleteContext(c);
        if (a_.base) munmap(a_.base, a_.size);
        arena = outer_;
    }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;

  private:
    Arena a_;
    Arena *outer_;
};

bool lcms_failed(const Said &said, const char *doing) {
    if (said.text[0]) return fail(Err::format, "%s: %s", doing, said.text);
    return fail(Err::memory, "out of memory for %s", doing);
}

// The colour space a profile's header names ("RGB ", "GRAY", "CMYK", ...).
bool space_is(const tessera_io_metadata &m, const char *space) {
    return m.icc && m.icc_size >= 20 && std::memcmp(static_cast<const char *>(m.icc) + 16, space, 4) == 0;
}

// sRGB, or for gray a gray profile with sRGB's tone curve, on context c.
cmsHPROFILE srgb_on(cmsContext c, bool gray) {
    if (!gray) return cmsCreate_sRGBProfileTHR(c);
    // sRGB's curve: the parametric type 4 of ICC with its published constants
    const cmsFloat64Number p[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve *curve = cmsBuildParametricToneCurve(c, 4, p);
    cmsHPROFILE out = curve ? cmsCreateGrayProfileTHR(c, cmsD50_xyY(), curve) : nullptr;
    if (curve) cmsFreeToneCurve(curve);
    return out;
}

struct Transform {
    explicit Transform(std::size_t profile_bytes) : ctx(profile_bytes) {}
    ~Transform() {
        if (xf) cmsDeleteTransform(xf);
    }
    Context ctx; // made first, ended last
    cmsHTRANSFORM xf = nullptr;
};

// A transform from the profile of m in format from to sRGB (or sRGB gray) in format to.
bool make(Transform &t, const tessera_io_metadata &m, cmsUInt32Number from, cmsUInt32Number to, bool gray,
          cmsUInt32Number flags) {
    if (!t.ctx.c) return false;
    cmsHPROFILE in = cmsOpenProfileFromMemTHR(t.ctx.c, m.icc, static_cast<cmsUInt32Number>(m.icc_size));
    cmsHPROFILE out = in ? srgb_on(t.ctx.c, gray) : nullptr;
    if (in && out) t.xf = cmsCreateTransformTHR(t.ctx.c, in, from, out, to, INTENT_PERCEPTUAL, flags);
    if (in) cmsCloseProfile(in);
    if (out) cmsCloseProfile(out);
    return t.xf || lcms_failed(t.ctx.said, "cannot convert by the file's ICC profile");
}

} // namespace

bool to_srgb(AnyImageStruct *im, const tessera_io_metadata &m) {
    const ImageHeader *h = im->header;
    cmsUInt32Number format = 0;
    std::size_t elem = 0;
    switch (h->tag) {
    case IMAGE_GRAY: format = TYPE_GRAY_8, elem = 1; break;
    case IMAGE_RGB: format = TYPE_RGB_8, elem = 3; break;
    case IMAGE_RGBA: format = TYPE_RGBA_8, elem = 4; break;
    case IMAGE_GRAY16: format = TYPE_GRAY_16, elem = 2; break;
    case IMAGE_RGB16: format = TYPE_RGB_16, elem = 6; break;
    case IMAGE_RGBA16: format = TYPE_RGBA_16, elem = 8; break;
    case IMAGE_BINARY: return true; // black and white stay so
    default: return fail(Err::argument, "converting colours needs gray or colour samples, not %s", type_name(h->tag));
    }
    const bool gray = colour_channels(h->tag) == 1;
    if (!space_is(m, gray ? "GRAY" : "RGB "))
        return fail(Err::format, "the file's ICC profile is for other colours (%.4s) than its %s pixels",
                    m.icc_size >= 20 ? static_cast<const char *>(m.icc) + 16 : "none", gray ? "gray" : "colour");
    Transform t(m.icc_size);
    if (!make(t, m, format, format, gray, has_alpha(h->tag) ? cmsFLAGS_COPY_ALPHA : 0)) return false;
    for (int32_t y = 0; y < h->height; ++y) { // the same bytes a pixel in and out: in place
        char *row = static_cast<char *>(im->data[h->yoffset + y]) +
                    static_cast<std::ptrdiff_t>(h->xoffset) * static_cast<std::ptrdiff_t>(elem);
        cmsDoTransform(t.xf, row, row, static_cast<cmsUInt32Number>(h->width));
    }
    return true;
}

bool is_cmyk_profile(const tessera_io_metadata &m) { return space_is(m, "CMYK"); }

void *cmyk_to_srgb(const tessera_io_metadata &m, bool inverted) {
    auto *t = new (std::nothrow) Transform(m.icc_size);
    if (!t) return fail(Err::memory, "out of memory for a colour transform"), nullptr;
    if (!make(*t, m, inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, TYPE_RGB_8, false, 0)) {
        delete t;
        return nullptr;
    }
    return t;
}

void cmyk_row(void *transform, const unsigned char *cmyk, RGB *out, std::size_t n) {
    cmsDoTransform(static_cast<Transform *>(transform)->xf, cmyk, out, static_cast<cmsUInt32Number>(n));
}

void free_transform(void *transform) { delete static_cast<Transform *>(transform); }

bool srgb_profile(tessera_io_metadata &m, bool gray) {
    Context ctx(0);
    if (!ctx.c) return false;
    cmsHPROFILE p = srgb_on(ctx.c, gray);
    cmsUInt32Number n = 0;
    void *bytes = nullptr;
    const bool ok = p && cmsSaveProfileToMem(p, nullptr, &n) && (bytes = std::malloc(n)) != nullptr &&
                    cmsSaveProfileToMem(p, bytes, &n);
    if (p) cmsCloseProfile(p);
    if (!ok) {
        std::free(bytes);
        return bytes || !p ? lcms_failed(ctx.said, "the sRGB profile")
                           : fail(Err::memory, "out of memory for the sRGB profile");
    }
    std::free(m.icc);
    m.icc = bytes;
    m.icc_size = n;
    return true;
}

} // namespace tessera::detail::io
