"""Images as people have them: 16-bit PNG and TIFF, WebP (lossy and lossless with alpha) decoded
from and encoded to memory, and RGBA resizing, by tessera (its file's own types), Pillow and
libvips (through ctypes, concurrency 1), all in one process, interleaved round by round, each
round starting with another library; medians of the rounds, in CPU time (the process's, so
that a library's helper threads count) and wall time. Prints a Markdown table of milliseconds
and the peers' time over tessera's (above 1: tessera is faster).

Usage: python3 bench/photos.py [ROUNDS]   (tessera importable, e.g. PYTHONPATH=build/default/python)
"""
import ctypes
import io
import os
import statistics
import sys
import time

import numpy as np

import tessera

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from files import Vips, photo  # noqa: E402  (one home for the libvips calls and the picture)

try:
    from PIL import Image as PIL
except ImportError:
    PIL = None


def vips_image(vips, a, interpretation):
    """a (uint8 or uint16, h x w x bands) as a libvips image of that interpretation."""
    h, w, bands = a.shape
    kept.append(a)
    fmt = 2 if a.dtype == np.uint16 else 0  # VIPS_FORMAT_USHORT, _UCHAR
    im = vips.lib.vips_image_new_from_memory(a.ctypes.data, a.nbytes, w, h, bands, fmt)
    out = ctypes.c_void_p()
    if vips.lib.vips_copy(ctypes.c_void_p(im), ctypes.byref(out), b"interpretation", ctypes.c_int(interpretation),
                          None) != 0:
        raise OSError("vips_copy failed")
    return out.value


GREY16, RGB16, SRGB = 26, 25, 22  # VipsInterpretation
kept = []  # arrays libvips images read from: they live as long as the run


def cases(rng):
    rgb = photo(rng, 2048, 2048)
    gray16 = (rgb[..., 0].astype(np.uint32) * 257 + rng.integers(0, 257, rgb.shape[:2])).astype(np.uint16)
    rgb16 = (rgb.astype(np.uint32) * 257 + rng.integers(0, 257, rgb.shape)).astype(np.uint16)
    small = np.ascontiguousarray(rgb[:1024, :1024])
    alpha = np.clip(np.linspace(0, 300, 1024)[None, :] - np.linspace(0, 60, 1024)[:, None], 0, 255).astype(np.uint8)
    rgba = np.dstack([small, alpha])
    try:
        vips = Vips()
    except OSError:
        vips = None

    def encoded(write):
        b = io.BytesIO()
        write(b)
        return b.getvalue()

    out = []
    # Files made by Pillow where Pillow writes the kind; 16-bit RGB PNG by tessera (Pillow cannot,
    # and libvips' own would favour it), 16-bit RGB TIFF by libvips.
    deep_rgb_png = encoded(lambda b: tessera.write(rgb16, b, "png"))
    files = {
        "PNG 16-bit gray": encoded(lambda b: PIL.fromarray(gray16, "I;16").save(b, "PNG")),
        "PNG 16-bit RGB": deep_rgb_png,
        "TIFF 16-bit gray": encoded(lambda b: PIL.fromarray(gray16, "I;16").save(b, "TIFF")),
        "WebP RGB lossy q80 (1024²)": encoded(lambda b: PIL.fromarray(small).save(b, "WEBP", quality=80)),
        "WebP RGBA lossless (1024²)": encoded(lambda b: PIL.fromarray(rgba).save(b, "WEBP", lossless=True)),
    }
    if vips:
        size = ctypes.c_size_t()
        buf = ctypes.c_void_p()
        v16 = vips_image(vips, rgb16, RGB16)
        if vips.lib.vips_tiffsave_buffer(ctypes.c_void_p(v16), ctypes.byref(buf), ctypes.byref(size), None) == 0:
            files["TIFF 16-bit RGB"] = ctypes.string_at(buf, size.value)
            vips.g.g_free(buf)
    for name, data in files.items():
        row = {"tessera": lambda d=data: tessera.load(io.BytesIO(d))}
        if PIL and "16-bit RGB" not in name:  # Pillow has no 16-bit RGB
            row["Pillow"] = lambda d=data: PIL.open(io.BytesIO(d)).load()
        if vips:
            row["libvips"] = lambda d=data: vips.decode(d)
        out.append(("decode " + name, row))

    t = {"gray16": tessera.Image.from_array(gray16), "rgb16": tessera.Image.from_array(rgb16),
         "rgb": tessera.Image.from_array(small), "rgba": tessera.Image.from_array(rgba)}
    p = {"gray16": PIL.fromarray(gray16, "I;16"), "rgb": PIL.fromarray(small), "rgba": PIL.fromarray(rgba)} if PIL else {}
    v = {"gray16": vips_image(vips, gray16[..., None], GREY16), "rgb16": vips_image(vips, rgb16, RGB16),
         "rgb": vips_image(vips, small, SRGB), "rgba": vips_image(vips, rgba, SRGB)} if vips else {}

    def save(im, fmt, **kw):
        return lambda: im.save(io.BytesIO(), fmt, **kw)

    def vsave(op, im, *options):
        return lambda: vips.encode(im, op, *options)

    c = ctypes.c_int
    enc = [
        ("encode PNG 16-bit gray, level 6", save(t["gray16"], "png", compression=6),
         ("gray16", lambda im: im.save(io.BytesIO(), "PNG", compress_level=6)),
         ("gray16", "vips_pngsave_buffer", b"compression", c(6))),
        ("encode PNG 16-bit RGB, level 6", save(t["rgb16"], "png", compression=6), None,
         ("rgb16", "vips_pngsave_buffer", b"compression", c(6))),
        ("encode TIFF 16-bit gray", save(t["gray16"], "tiff"), ("gray16", lambda im: im.save(io.BytesIO(), "TIFF")),
         ("gray16", "vips_tiffsave_buffer")),
        ("encode TIFF 16-bit RGB", save(t["rgb16"], "tiff"), None, ("rgb16", "vips_tiffsave_buffer")),
        ("encode WebP RGB lossy q80 (1024²)", save(t["rgb"], "webp", quality=80),
         ("rgb", lambda im: im.save(io.BytesIO(), "WEBP", quality=80, method=4)),
         ("rgb", "vips_webpsave_buffer", b"Q", c(80), b"effort", c(4))),
        ("encode WebP RGBA lossless (1024²)", save(t["rgba"], "webp", lossless=True),
         ("rgba", lambda im: im.save(io.BytesIO(), "WEBP", lossless=True, quality=75, method=4, exact=True)),
         ("rgba", "vips_webpsave_buffer", b"lossless", c(1), b"Q", c(75), b"effort", c(4))),
    ]
    for name, ours, pil, vip in enc:
        row = {"tessera": ours}
        if pil and PIL:
            row["Pillow"] = lambda kind=pil[0], f=pil[1]: f(p[kind])
        if vip and vips:
            row["libvips"] = vsave(vip[1], v[vip[0]], *vip[2:])
        out.append((name, row))

    # RGBA resizing: colours weighed by alpha in both
    names = {"bilinear": "BILINEAR", "bicubic": "BICUBIC", "lanczos3": "LANCZOS"}
    big_rgba = np.dstack([rgb, np.tile(alpha, (2, 2))])
    t_big, p_big = tessera.Image.from_array(big_rgba), PIL.fromarray(big_rgba) if PIL else None
    for f, pil_f in names.items():
        for label, ti, pi, size in [("2048² to 512²", t_big, p_big, 512), ("1024² to 2048²", t["rgba"], p.get("rgba"),
                                                                           2048)]:
            row = {"tessera": lambda ti=ti, size=size, f=f: ti.resize(size, size, filter=f)}
            if PIL:
                row["Pillow"] = lambda pi=pi, size=size, pf=pil_f: pi.resize((size, size),
                                                                             getattr(PIL.Resampling, pf))
            out.append((f"resize RGBA {f} {label}", row))
    return out


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    table = cases(np.random.default_rng(11))
    cpu = {(name, lib): [] for name, row in table for lib in row}
    wall = {key: [] for key in cpu}
    for r in range(rounds):
        for name, row in table:
            order = list(row.items())
            order = order[r % len(order):] + order[:r % len(order)]
            for lib, call in order:
                c0, w0 = time.process_time(), time.perf_counter()
                call()
                cpu[(name, lib)].append(time.process_time() - c0)
                wall[(name, lib)].append(time.perf_counter() - w0)
    peers = ["Pillow", "libvips"]
    print(f"One thread, medians of {rounds} interleaved rounds: CPU ms (wall ms); ratio peer / tessera, CPU (wall)")
    print()
    print("| case | tessera | " + " | ".join(peers) + " | " + " | ".join(f"{q} / tessera" for q in peers) + " |")
    print("|---|---:|" + "---:|" * (2 * len(peers)))
    for name, row in table:
        tc, tw = statistics.median(cpu[(name, "tessera")]), statistics.median(wall[(name, "tessera")])
        cells, ratios = [], []
        for q in peers:
            if (name, q) in cpu:
                qc, qw = statistics.median(cpu[(name, q)]), statistics.median(wall[(name, q)])
                cells.append(f"{qc * 1e3:.1f} ({qw * 1e3:.1f})")
                ratios.append(f"{qc / tc:.2f} ({qw / tw:.2f})")
            else:
                cells.append("-")
                ratios.append("-")
        print(f"| {name} | {tc * 1e3:.1f} ({tw * 1e3:.1f}) | " + " | ".join(cells) + " | " + " | ".join(ratios) + " |")


if __name__ == "__main__":
    main()
