"""Resize, flips and rotations of 8-bit RGB 4096 x 4096 images, and imScale of every element type:
tessera against Pillow, OpenCV and libvips, all on one thread, in one run, interleaved round by
round (each round times every library once on every case, starting with a different one each
round), medians of the rounds. Prints a Markdown table of milliseconds (wall time) and of the
peers' time over tessera's, on wall and on CPU time (above 1: tessera is faster). Resizes are
also timed with tessera's exact path ("exact") and against libvips' vips_reduce ("reduce",
which vips_resize finishes with) where it applies, and the cost per source pixel of a
Lanczos-3 shrink is printed for sources from 256² to 8192². The flips and turns are also timed against numpy
copying the same bytes into memory that exists (memcpy) and into a new block (copy).

Usage: python3 bench/geometry.py [ROUNDS]   (tessera importable, e.g. PYTHONPATH=build/bench/python)
"""
import ctypes
import statistics
import sys
import time

import numpy as np

import tessera

try:
    from PIL import Image as PIL
except ImportError:
    PIL = None
try:
    import cv2

    cv2.setNumThreads(1)
except ImportError:
    cv2 = None


class Vips:
    """The few libvips calls needed, through ctypes (Debian has no pyvips for this release)."""

    KERNELS = {"nearest": 0, "bilinear": 1, "bicubic": 2, "lanczos3": 5}

    def __init__(self):
        self.lib = ctypes.CDLL("libvips.so.42")
        self.glib = ctypes.CDLL("libgobject-2.0.so.0")
        if self.lib.vips_init(b"bench") != 0:
            raise OSError("vips_init failed")
        self.lib.vips_concurrency_set(1)
        self.lib.vips_cache_set_max(0)
        self.lib.vips_image_new_from_memory.restype = ctypes.c_void_p
        self.lib.vips_image_new_from_memory.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                                                        ctypes.c_int, ctypes.c_int]
        self.lib.vips_image_write_to_memory.restype = ctypes.c_void_p
        self.lib.vips_image_write_to_memory.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t)]
        self.glib.g_object_unref.argtypes = [ctypes.c_void_p]

    def image(self, a):
        h, w, bands = a.shape
        return self.lib.vips_image_new_from_memory(a.ctypes.data, a.nbytes, w, h, bands, 0)  # VIPS_FORMAT_UCHAR

    def run(self, image, op, *args):
        """Runs op (a vips_ function name) and makes its pixels (written to memory, then freed)."""
        out = ctypes.c_void_p()
        if getattr(self.lib, op)(ctypes.c_void_p(image), ctypes.byref(out), *args, None) != 0:
            raise OSError(f"{op} failed")
        size = ctypes.c_size_t()
        pixels = self.lib.vips_image_write_to_memory(out, ctypes.byref(size))
        ctypes.CDLL("libglib-2.0.so.0").g_free(ctypes.c_void_p(pixels))
        self.glib.g_object_unref(out)


def cases(big, small):
    """(name, {library: callable}) for every case measured."""
    ti_big, ti_small = tessera.Image.from_array(big), tessera.Image.from_array(small)
    out = []
    pil = {"nearest": "NEAREST", "box": "BOX", "bilinear": "BILINEAR", "bicubic": "BICUBIC", "lanczos3": "LANCZOS"}
    cvf = {"nearest": "INTER_NEAREST", "box": "INTER_AREA", "bilinear": "INTER_LINEAR", "bicubic": "INTER_CUBIC",
           "lanczos3": "INTER_LANCZOS4"}
    try:
        vips = Vips()
        v_big, v_small = vips.image(big), vips.image(small)
    except OSError:
        vips = None
    p_big = PIL.fromarray(big) if PIL else None
    p_small = PIL.fromarray(small) if PIL else None
    for f in ["nearest", "box", "bilinear", "bicubic", "lanczos3"]:
        for label, src, ti, pimg, size, vimg, scale in [("4096² to 1024²", big, ti_big, p_big, 1024, "big", 0.25),
                                                        ("1024² to 4096²", small, ti_small, p_small, 4096, "small", 4.0)]:
            libs = {"tessera": lambda ti=ti, size=size, f=f: ti.resize(size, size, filter=f)}
            if PIL:
                libs["Pillow"] = lambda p=pimg, size=size, f=f: p.resize((size, size), getattr(PIL.Resampling, pil[f]))
            if cv2:
                libs["OpenCV"] = lambda a=src, size=size, f=f: cv2.resize(a, (size, size),
                                                                          interpolation=getattr(cv2, cvf[f]))
            if vips:
                image = v_big if vimg == "big" else v_small
                if f in Vips.KERNELS:
                    libs["libvips"] = lambda image=image, scale=scale, f=f: vips.run(
                        image, "vips_resize", ctypes.c_double(scale), b"kernel", ctypes.c_int(Vips.KERNELS[f]))
                elif scale < 1:  # box: libvips' shrink averages whole blocks
                    libs["libvips"] = lambda image=image: vips.run(image, "vips_shrink", ctypes.c_double(4),
                                                                   ctypes.c_double(4))
                if scale < 1 and f in ("bilinear", "bicubic", "lanczos3"):
                    libs["reduce"] = lambda image=image, f=f: vips.run(
                        image, "vips_reduce", ctypes.c_double(4), ctypes.c_double(4), b"kernel",
                        ctypes.c_int(Vips.KERNELS[f]))
            libs["exact"] = lambda ti=ti, size=size, f=f: ti.resize(size, size, filter=f, exact=True)
            out.append((f"resize {f} {label}", libs))
    flips = [("flip top to bottom", "flip_vertical", "FLIP_TOP_BOTTOM", 0, ("vips_flip", 1)),
             ("flip left to right", "flip_horizontal", "FLIP_LEFT_RIGHT", 1, ("vips_flip", 0)),
             ("rotate 180", None, "ROTATE_180", -1, ("vips_rot", 2)),
             ("rotate 90", None, "ROTATE_270", "cw", ("vips_rot", 1))]
    for name, method, pil_t, cv_code, (vop, varg) in flips:
        libs = {"tessera": (lambda m=method: getattr(ti_big, m)()) if method else
                (lambda d=180 if name.endswith("180") else 90: ti_big.rotate(d))}
        if PIL:
            libs["Pillow"] = lambda t=pil_t: p_big.transpose(getattr(PIL.Transpose, t))
        if cv2:
            libs["OpenCV"] = (lambda: cv2.rotate(big, cv2.ROTATE_90_CLOCKWISE)) if cv_code == "cw" else \
                (lambda c=cv_code: cv2.flip(big, c))
        if vips:
            libs["libvips"] = lambda vop=vop, varg=varg: vips.run(v_big, vop, ctypes.c_int(varg))
        dst = np.empty_like(big)
        libs["memcpy"] = lambda dst=dst: np.copyto(dst, big)  # the same bytes into memory already there
        libs["copy"] = lambda: big.copy()  # the same bytes into a new block, as every library's result is
        out.append((name, libs))
    return out


def scale_cases(big):
    """imScale (nearest, the core's own sampling) against OpenCV's INTER_NEAREST, every element
    type OpenCV shares: (name, {library: callable})."""
    if not cv2:
        return []
    out = []
    gray = big[:, :, 0]
    kinds = [("gray", gray), ("RGB", big), ("int16", gray.astype(np.int16)), ("int32", gray.astype(np.int32)),
             ("float32", gray.astype(np.float32)), ("float64", gray.astype(np.float64))]
    for kind, a in kinds:
        ti = tessera.Image.from_array(a)
        for label, size in [("4096² to 2048²", 2048)] + ([("4096² to 8192²", 8192)] if kind == "float64" else []):
            out.append((f"imScale {kind} {label}",
                        {"tessera": lambda ti=ti, size=size: ti.scale(size, size),
                         "OpenCV": lambda a=a, size=size: cv2.resize(a, (size, size),
                                                                      interpolation=cv2.INTER_NEAREST)}))
    return out


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    rng = np.random.default_rng(1)
    big = rng.integers(0, 256, (4096, 4096, 3), dtype=np.uint8)
    small = np.ascontiguousarray(big[:1024, :1024])
    table = cases(big, small) + scale_cases(big)
    times = {(name, lib): [] for name, libs in table for lib in libs}
    cpu = {(name, lib): [] for name, libs in table for lib in libs}
    for r in range(rounds):
        for name, libs in table:
            # each round starts the case with the next library: the first to ask for a large
            # block may pay the kernel's gathering of huge pages that the next one reuses
            order = list(libs.items())
            order = order[r % len(order):] + order[:r % len(order)]
            for lib, call in order:
                start, start_cpu = time.perf_counter(), time.process_time()
                call()
                times[(name, lib)].append(time.perf_counter() - start)
                cpu[(name, lib)].append(time.process_time() - start_cpu)
    peers = ["exact", "Pillow", "OpenCV", "libvips", "reduce", "memcpy", "copy"]
    print("| case | tessera | " + " | ".join(peers) + " |")
    print("|---|---:|" + "---:|" * len(peers))
    for name, libs in table:
        ours = statistics.median(times[(name, "tessera")])
        ours_cpu = statistics.median(cpu[(name, "tessera")])
        cells = []
        for p in peers:
            if p in libs:
                theirs = statistics.median(times[(name, p)])
                theirs_cpu = statistics.median(cpu[(name, p)])
                cells.append(f"{theirs * 1e3:.1f} ms ({theirs / ours:.2f}, {theirs_cpu / ours_cpu:.2f})")
            else:
                cells.append("")
        print(f"| {name} | {ours * 1e3:.1f} ms | " + " | ".join(cells) + " |")
    print("\nLanczos-3 shrink by 4 of 8-bit RGB, CPU time per source pixel (fixed point; exact):\n")
    print("| source | fixed point | exact |")
    print("|---|---:|---:|")
    for side in (256, 1024, 4096, 8192):
        a = rng.integers(0, 256, (side, side, 3), dtype=np.uint8)
        ti = tessera.Image.from_array(a)
        per = {}
        for exact in (False, True):
            runs = []
            for _ in range(max(3, rounds)):
                start = time.process_time()
                for _ in range(max(1, (1024 // side) ** 2)):
                    ti.resize(side // 4, side // 4, filter="lanczos3", exact=exact)
                runs.append((time.process_time() - start) / max(1, (1024 // side) ** 2))
            per[exact] = statistics.median(runs) / (side * side) * 1e9
        print(f"| {side}² | {per[False]:.2f} ns | {per[True]:.2f} ns |")


if __name__ == "__main__":
    main()
