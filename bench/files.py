"""Image files: PNG, JPEG and TIFF decoded from and encoded to memory by tessera (libtessera_io
through the Python package), Pillow and libvips (through ctypes), all on one thread, in one run,
interleaved round by round, medians of the rounds. Prints Markdown tables of milliseconds and of
the peers' time over tessera's (above 1: tessera is faster) and the sizes each encoder made,
then PNG's compression levels: time and size.

Usage: python3 bench/files.py [ROUNDS]   (tessera importable, e.g. PYTHONPATH=build/bench/python)
"""
import ctypes
import io
import statistics
import sys
import time

import numpy as np

import tessera

try:
    from PIL import Image as PIL
except ImportError:
    PIL = None


class Vips:
    """The libvips calls needed, through ctypes (Debian has no pyvips for this release)."""

    def __init__(self):
        self.lib = ctypes.CDLL("libvips.so.42")
        self.glib = ctypes.CDLL("libgobject-2.0.so.0")
        self.g = ctypes.CDLL("libglib-2.0.so.0")
        if self.lib.vips_init(b"bench") != 0:
            raise OSError("vips_init failed")
        self.lib.vips_concurrency_set(1)
        self.lib.vips_cache_set_max(0)
        v = ctypes.c_void_p
        self.lib.vips_image_new_from_buffer.restype = v
        self.lib.vips_image_new_from_memory.restype = v
        self.lib.vips_image_new_from_memory.argtypes = [v, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                                        ctypes.c_int]
        self.lib.vips_image_write_to_memory.restype = v
        self.lib.vips_image_write_to_memory.argtypes = [v, ctypes.POINTER(ctypes.c_size_t)]
        self.glib.g_object_unref.argtypes = [v]
        self.g.g_free.argtypes = [v]

    def image(self, a):
        h, w = a.shape[:2]
        bands = a.shape[2] if a.ndim == 3 else 1
        fmt = 2 if a.dtype == np.uint16 else 0  # VIPS_FORMAT_USHORT, VIPS_FORMAT_UCHAR
        im = self.lib.vips_image_new_from_memory(a.ctypes.data, a.nbytes, w, h, bands, fmt)
        if a.dtype != np.uint16:
            return im
        # Marked as 16-bit gray, or the savers would make 8-bit files of it.
        out = ctypes.c_void_p()
        if self.lib.vips_copy(ctypes.c_void_p(im), ctypes.byref(out), b"interpretation", ctypes.c_int(26), None) != 0:
            raise OSError("vips_copy failed")  # 26: VIPS_INTERPRETATION_GREY16
        return out.value

    def decode(self, data):
        im = self.lib.vips_image_new_from_buffer(data, ctypes.c_size_t(len(data)), b"", None)
        if not im:
            raise OSError("vips cannot read the buffer")
        size = ctypes.c_size_t()
        pixels = self.lib.vips_image_write_to_memory(ctypes.c_void_p(im), ctypes.byref(size))
        self.g.g_free(ctypes.c_void_p(pixels))
        self.glib.g_object_unref(ctypes.c_void_p(im))

    def encode(self, image, op, *options):
        buf, size = ctypes.c_void_p(), ctypes.c_size_t()
        if getattr(self.lib, op)(ctypes.c_void_p(image), ctypes.byref(buf), ctypes.byref(size), *options, None) != 0:
            raise OSError(f"{op} failed")
        self.g.g_free(buf)
        return size.value


def photo(rng, h, w):
    """A photograph-like picture: smooth shapes with a little noise."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    base = np.stack([128 + 90 * np.sin(x / 97 + c) * np.cos(y / 131 - c) for c in (0.0, 1.3, 2.6)], axis=-1)
    return np.clip(base + rng.normal(0, 6, base.shape), 0, 255).astype(np.uint8)


def cases(rgb, deep):
    try:
        vips = Vips()
    except OSError:
        vips = None
    t_rgb = tessera.Image.from_array(rgb)
    t_deep = tessera.Image.from_array(deep.astype(np.int32), kind="int")
    p_rgb = PIL.fromarray(rgb) if PIL else None
    p_deep = PIL.fromarray(deep, "I;16") if PIL else None
    v_rgb = vips.image(rgb) if vips else None
    v_deep = vips.image(deep) if vips else None

    def encoded(im, fmt, **kw):
        b = io.BytesIO()
        im.save(b, fmt, **kw)
        return b.getvalue()

    # The files every decoder reads: made by Pillow, so that no one reads its own output.
    files = {
        "PNG 8-bit RGB": encoded(p_rgb, "PNG"),
        "PNG 16-bit gray": encoded(p_deep, "PNG"),
        "JPEG RGB q85": encoded(p_rgb, "JPEG", quality=85),
        "TIFF 8-bit RGB": encoded(p_rgb, "TIFF"),
        "TIFF 16-bit gray": encoded(p_deep, "TIFF"),
        "TIFF RGB deflate": encoded(p_rgb, "TIFF", compression="tiff_adobe_deflate"),
    }
    out = []
    for name, data in files.items():
        deep_file = "16-bit" in name
        row = {"tessera": (lambda d=data, k=deep_file: tessera.load(io.BytesIO(d), depth="keep" if k else "reduce"))}
        row["Pillow"] = lambda d=data: PIL.open(io.BytesIO(d)).load()
        if vips:
            row["libvips"] = lambda d=data: vips.decode(d)
        out.append(("decode " + name, row))
    def sink():
        return io.BytesIO()

    def sized(save):
        """Runs a save into memory; the size of what it made."""
        def run():
            b = sink()
            save(b)
            return len(b.getvalue())
        return run

    def tessera_save(im, fmt, **kw):
        return sized(lambda b: im.save(b, fmt, **kw))()

    enc = [
        ("encode PNG 8-bit RGB, level 6", lambda: tessera_save(t_rgb, "png", compression=6),
         sized(lambda b: p_rgb.save(b, "PNG", compress_level=6)),
         (lambda: vips.encode(v_rgb, "vips_pngsave_buffer", b"compression", ctypes.c_int(6))) if vips else None),
        ("encode PNG 16-bit gray, level 6", lambda: tessera_save(t_deep, "png", compression=6, depth=16),
         sized(lambda b: p_deep.save(b, "PNG", compress_level=6)),
         (lambda: vips.encode(v_deep, "vips_pngsave_buffer", b"compression", ctypes.c_int(6))) if vips else None),
        ("encode JPEG RGB q85", lambda: tessera_save(t_rgb, "jpeg", quality=85),
         sized(lambda b: p_rgb.save(b, "JPEG", quality=85)),
         (lambda: vips.encode(v_rgb, "vips_jpegsave_buffer", b"Q", ctypes.c_int(85))) if vips else None),
        ("encode TIFF 8-bit RGB", lambda: tessera_save(t_rgb, "tiff"), sized(lambda b: p_rgb.save(b, "TIFF")),
         (lambda: vips.encode(v_rgb, "vips_tiffsave_buffer")) if vips else None),
        ("encode TIFF 16-bit gray", lambda: tessera_save(t_deep, "tiff", depth=16), sized(lambda b: p_deep.save(b, "TIFF")),
         (lambda: vips.encode(v_deep, "vips_tiffsave_buffer")) if vips else None),
    ]
    for name, t, p, v in enc:
        row = {"tessera": t, "Pillow": p}
        if v:
            row["libvips"] = v
        out.append((name, row))
    return out


sizes = {}


def timed(f, key=None):
    start = time.perf_counter()
    made = f()
    spent = time.perf_counter() - start
    if key and isinstance(made, int):
        sizes[key] = made
    return spent


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    rng = np.random.default_rng(7)
    rgb = photo(rng, 2048, 2048)
    deep = (rgb[..., 0].astype(np.uint32) * 257 + rng.integers(0, 257, rgb.shape[:2])).astype(np.uint16)
    table = cases(rgb, deep)
    peers = ["Pillow", "libvips"]
    times = {(name, lib): [] for name, row in table for lib in row}
    for _ in range(rounds):
        for name, row in table:
            for lib, f in row.items():
                times[(name, lib)].append(timed(f, (name, lib)))
    print(f"2048 x 2048 pixels, one thread, medians of {rounds} interleaved rounds (ms; ratio: peer / tessera)")
    print()
    print("| case | tessera | " + " | ".join(peers) + " | " + " | ".join(f"{p} / tessera" for p in peers) +
          " | sizes (KB) |")
    print("|---|---:|" + "---:|" * (2 * len(peers)) + "---|")
    for name, row in table:
        t = statistics.median(times[(name, "tessera")])
        cells = [f"{statistics.median(times[(name, p)]) * 1000:.1f}" if (name, p) in times else "-" for p in peers]
        ratios = [f"{statistics.median(times[(name, p)]) / t:.2f}" if (name, p) in times else "-" for p in peers]
        made = " / ".join(str(sizes[(name, lib)] // 1024) for lib in ["tessera", *peers] if (name, lib) in sizes)
        print(f"| {name} | {t * 1000:.1f} | " + " | ".join(cells) + " | " + " | ".join(ratios) + f" | {made} |")
    print()
    print("PNG compression levels (tessera, the 8-bit RGB picture): time and size")
    print()
    print("| level | ms | size (KB) |")
    print("|---:|---:|---:|")
    im = tessera.Image.from_array(rgb)
    for level in (0, 1, 3, 6, 9):
        spent = []
        for _ in range(max(1, rounds // 2)):
            b = io.BytesIO()
            spent.append(timed(lambda: im.save(b, "png", compression=level)))
        print(f"| {level} | {statistics.median(spent) * 1000:.1f} | {len(b.getvalue()) // 1024} |")


if __name__ == "__main__":
    main()
