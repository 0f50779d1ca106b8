// GIF through giflib: the first frame, on its logical screen, with its transparency; written
// as one frame with a palette (the picture's own colours when it has at most 256, else giflib's
// median cut), pixels of alpha below half transparent.
#include <gif_lib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec.h"

namespace tessera::detail::io {

namespace {

int read_bytes(GifFileType *g, GifByteType *to, int n) {
    auto *f = static_cast<FILE *>(g->UserData);
    return static_cast<int>(std::fread(to, 1, static_cast<std::size_t>(n), f));
}

int write_bytes(GifFileType *g, const GifByteType *from, int n) {
    auto *f = static_cast<FILE *>(g->UserData);
    return static_cast<int>(std::fwrite(from, 1, static_cast<std::size_t>(n), f));
}

bool gif_failed(int code, bool reading) {
    const char *why = GifErrorString(code);
    if (code == D_GIF_ERR_READ_FAILED || code == D_GIF_ERR_EOF_TOO_SOON)
        return fail(Err::format, "the GIF file's data ended early");
    if (code == D_GIF_ERR_NOT_ENOUGH_MEM || code == E_GIF_ERR_NOT_ENOUGH_MEM)
        return fail(Err::memory, "out of memory for the GIF %s", reading ? "decoder" : "encoder");
    return fail(reading ? Err::format : Err::file, "%s GIF: %s", reading ? "a damaged" : "cannot write the",
                why ? why : "giflib failed");
}

struct Reader {
    GifFileType *gif = nullptr;
    GifPixelType *line = nullptr;
    uint32_t *samples = nullptr;
    ~Reader() {
        std::free(line);
        std::free(samples);
        int error = 0;
        if (gif) DGifCloseFile(gif, &error);
    }
};

// What a w x h GIF picture loads as, described in the load's info: RGB, with alpha when a pixel
// is transparent.
Layout gif_layout(const Request &r, int64_t w, int64_t h, bool alpha) {
    describe(r, "GIF", w, h, 3, alpha ? 1 : 0, 8, 255);
    Layout l;
    l.channels = 3;
    l.alpha = alpha ? 1 : 0;
    from_request(l, r);
    choose_tag(l, false);
    return l;
}
} // namespace

AnyImageStruct *read_gif(Input &in, const Request &r) {
    Reader rd;
    int error = 0;
    rd.gif = DGifOpen(in.in, read_bytes, &error);
    if (!rd.gif) return gif_failed(error, true), nullptr;
    GifFileType *g = rd.gif;
    const int64_t w = g->SWidth, h = g->SHeight;
    if (w <= 0 || h <= 0)
        return fail(Err::format, "a GIF screen of %lld x %lld pixels", (long long)w, (long long)h), nullptr;
    int transparent = -1;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(g, &type) == GIF_ERROR) return gif_failed(g->Error, true), nullptr;
        if (type == TERMINATE_RECORD_TYPE) return fail(Err::format, "a GIF file without a picture"), nullptr;
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType *block = nullptr;
            if (DGifGetExtension(g, &code, &block) == GIF_ERROR) return gif_failed(g->Error, true), nullptr;
            if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4 && (block[1] & 1)) transparent = block[4];
            while (block)
                if (DGifGetExtensionNext(g, &block) == GIF_ERROR) return gif_failed(g->Error, true), nullptr;
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) continue;
        if (DGifGetImageDesc(g) == GIF_ERROR) return gif_failed(g->Error, true), nullptr;
        break;
    }
    const GifImageDesc &d = g->Image;
    const ColorMapObject *map = d.ColorMap ? d.ColorMap : g->SColorMap;
    if (!map || !map->Colors) return fail(Err::format, "a GIF picture without colours"), nullptr;
    if (d.Width <= 0 || d.Height <= 0 || d.Left < 0 || d.Top < 0)
        return fail(Err::format, "a damaged GIF: a frame of %d x %d at %d, %d", d.Width, d.Height, d.Left, d.Top),
               nullptr;
    if (transparent >= map->ColorCount) transparent = -1; // an index no pixel can have
    if (r.header_only) { // whether a pixel is transparent is in the pixels: a transparent colour counts
        header_read(r, gif_layout(r, w, h, transparent >= 0).tag);
        return nullptr;
    }
    // The frame's indices first (held beside the image): the image has alpha when a pixel of it
    // is transparent, so that what is written back has the same type.
    const uint64_t frame = static_cast<uint64_t>(d.Width) * static_cast<uint64_t>(d.Height);
    const uint64_t beside = frame + static_cast<uint64_t>(w) * 16;
    if (!fits(r, static_cast<uint64_t>(w), static_cast<uint64_t>(h), IMAGE_RGBA, beside)) return nullptr;
    rd.line = static_cast<GifPixelType *>(std::malloc(static_cast<std::size_t>(frame)));
    rd.samples = static_cast<uint32_t *>(std::malloc(static_cast<std::size_t>(w) * 4 * sizeof(uint32_t)));
    if (!rd.line || !rd.samples)
        return fail(Err::memory, "out of memory for a %d x %d GIF frame", d.Width, d.Height), nullptr;
    // Interlaced frames come in four passes: every 8th row from 0, every 8th from 4, every 4th
    // from 2, every 2nd from 1.
    static const int starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    const int passes = d.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass)
        for (int row = d.Interlace ? starts[pass] : 0; row < d.Height; row += d.Interlace ? steps[pass] : 1)
            if (DGifGetLine(g, rd.line + static_cast<std::size_t>(row) * static_cast<std::size_t>(d.Width), d.Width) ==
                GIF_ERROR)
                return gif_failed(g->Error, true), nullptr;
    const bool covers = d.Left == 0 && d.Top == 0 && d.Width >= w && d.Height >= h;
    bool clear_pixels = transparent >= 0 && !covers;
    // only the part of the frame on the screen counts
    const int64_t shown_w = std::clamp<int64_t>(int64_t{w} - d.Left, 0, d.Width);
    const int64_t shown_h = std::clamp<int64_t>(int64_t{h} - d.Top, 0, d.Height);
    for (int64_t fy = 0; transparent >= 0 && !clear_pixels && fy < shown_h; ++fy)
        for (int64_t fx = 0; !clear_pixels && fx < shown_w; ++fx)
            clear_pixels = rd.line[fy * d.Width + fx] == transparent;
    const Layout l = gif_layout(r, w, h, clear_pixels);
    AnyImageStruct *im = new_image(l, static_cast<uint64_t>(w), static_cast<uint64_t>(h), r, beside);
    if (!im) return nullptr;
    // Outside the frame: transparent where the frame has transparency, else the background. A
    // transparent pixel has no colour: black, as it is written back.
    const GifColorType bg = g->SColorMap && g->SBackGroundColor < g->SColorMap->ColorCount
                                ? g->SColorMap->Colors[g->SBackGroundColor]
                                : GifColorType{0, 0, 0};
    const int per = 3 + l.alpha;
    for (int64_t y = 0; y < h; ++y) {
        const int64_t fy = y - d.Top;
        for (int64_t x = 0; x < w; ++x) {
            uint32_t *s = rd.samples + x * per;
            const int64_t fx = x - d.Left;
            const bool inside = fx >= 0 && fx < d.Width && fy >= 0 && fy < d.Height;
            const int i = inside ? rd.line[fy * d.Width + fx] : -1;
            const GifColorType c = i >= 0 && i < map->ColorCount ? map->Colors[i] : bg;
            const bool clear = l.alpha && (!inside || i == transparent);
            s[0] = clear ? 0 : c.Red, s[1] = clear ? 0 : c.Green, s[2] = clear ? 0 : c.Blue;
            if (l.alpha) s[3] = clear ? 0 : 255;
        }
        put_row(im, static_cast<int32_t>(y), rd.samples, l);
    }
    return im;
}

bool write_gif(const Picture &p, const tessera_io_save_options &, FILE *out) {
    if (p.bits != 8 || p.channels == 0) return fail(Err::unsupported, "gif holds 8-bit colour images only");
    const std::size_t n = static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
    const int in_per = p.channels + p.alpha;
    auto *row = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(p.width) * 4));
    auto *indices = static_cast<GifByteType *>(std::malloc(n));
    auto *palette = new (std::nothrow) Palette;
    GifByteType *rgb = nullptr; // the three planes giflib's quantiser takes, when it is needed
    bool ok = row && indices && palette;
    if (!ok) fail(Err::memory, "out of memory for a %d x %d GIF", p.width, p.height);
    // The picture's own colours when they fit (one index kept for transparency when some pixels
    // are transparent), else median cut.
    bool exact = ok, any_clear = false;
    const auto colour_at = [&](int32_t x, bool &clear) {
        const unsigned char *s = row + static_cast<std::ptrdiff_t>(x) * in_per;
        clear = p.alpha && s[p.channels] < 128;
        const unsigned char r = s[0], g = p.channels == 3 ? s[1] : s[0], b = p.channels == 3 ? s[2] : s[0];
        return static_cast<uint32_t>(r) | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(b) << 16;
    };
    for (int32_t y = 0; exact && y < p.height; ++y) {
        get_row(p, y, row);
        for (int32_t x = 0; x < p.width; ++x) {
            bool clear = false;
            const uint32_t c = colour_at(x, clear);
            any_clear = any_clear || clear;
            const int i = clear ? 0 : palette->find_or_add(c);
            if (i < 0 || palette->count > (any_clear ? 255 : 256)) {
                exact = false;
                break;
            }
            indices[static_cast<std::size_t>(y) * static_cast<std::size_t>(p.width) + static_cast<std::size_t>(x)] =
                static_cast<GifByteType>(clear ? 255 : i);
        }
    }
    GifColorType colours[256] = {};
    int count = exact ? palette->count : 0, clear_index = -1;
    if (ok && exact) {
        for (int i = 0; i < count; ++i) {
            const uint32_t c = palette->colour[i];
            colours[i] = GifColorType{static_cast<GifByteType>(c), static_cast<GifByteType>(c >> 8),
                                      static_cast<GifByteType>(c >> 16)};
        }
        if (any_clear) { // the clear pixels take the index after the colours
            clear_index = count++;
            for (std::size_t k = 0; k < n; ++k)
                if (indices[k] == 255) indices[k] = static_cast<GifByteType>(clear_index); // 255: no colour's index
        }
    } else if (ok) {
        rgb = static_cast<GifByteType *>(std::malloc(3 * n));
        if (!rgb) ok = fail(Err::memory, "out of memory for a %d x %d GIF", p.width, p.height);
        for (int32_t y = 0; ok && y < p.height; ++y) {
            get_row(p, y, row);
            for (int32_t x = 0; x < p.width; ++x) {
                bool clear = false;
                const uint32_t c = colour_at(x, clear);
                const std::size_t k =
                    static_cast<std::size_t>(y) * static_cast<std::size_t>(p.width) + static_cast<std::size_t>(x);
                rgb[k] = static_cast<GifByteType>(c), rgb[n + k] = static_cast<GifByteType>(c >> 8);
                rgb[2 * n + k] = static_cast<GifByteType>(c >> 16);
            }
        }
        count = any_clear ? 255 : 256;
        if (ok && GifQuantizeBuffer(static_cast<unsigned>(p.width), static_cast<unsigned>(p.height), &count, rgb,
                                    rgb + n, rgb + 2 * n, indices, colours) == GIF_ERROR)
            ok = fail(Err::memory, "out of memory for the GIF's palette");
        if (ok && any_clear) { // transparent pixels, found again, take the last index
            clear_index = count++;
            for (int32_t y = 0; y < p.height; ++y) {
                get_row(p, y, row);
                for (int32_t x = 0; x < p.width; ++x) {
                    bool clear = false;
                    (void)colour_at(x, clear);
                    if (clear)
                        indices[static_cast<std::size_t>(y) * static_cast<std::size_t>(p.width) +
                                static_cast<std::size_t>(x)] = static_cast<GifByteType>(clear_index);
                }
            }
        }
    }
    std::free(rgb);
    std::free(row);
    delete palette;
    int bits = 1;
    while ((1 << bits) < count) ++bits;
    ColorMapObject *map = ok ? GifMakeMapObject(1 << bits, colours) : nullptr;
    if (ok && !map) ok = fail(Err::memory, "out of memory for the GIF's palette");
    int error = 0;
    GifFileType *g = ok ? EGifOpen(out, write_bytes, &error) : nullptr;
    if (ok && !g) ok = gif_failed(error, false);
    if (ok) {
        EGifSetGifVersion(g, true);
        ok = EGifPutScreenDesc(g, p.width, p.height, bits, 0, map) != GIF_ERROR;
        if (ok && clear_index >= 0) {
            const GifByteType control[4] = {1, 0, 0, static_cast<GifByteType>(clear_index)};
            ok = EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, control) != GIF_ERROR;
        }
        ok = ok && EGifPutImageDesc(g, 0, 0, p.width, p.height, false, nullptr) != GIF_ERROR;
        for (int32_t y = 0; ok && y < p.height; ++y)
            ok = EGifPutLine(g, indices + static_cast<std::size_t>(y) * static_cast<std::size_t>(p.width), p.width) !=
                 GIF_ERROR;
        if (!ok) gif_failed(g->Error, false);
        if (EGifCloseFile(g, &error) == GIF_ERROR && ok) ok = gif_failed(error, false);
    }
    GifFreeMapObject(map);
    std::free(indices);
    return ok;
}

} // namespace tessera::detail::io
