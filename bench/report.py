"""Turns the benchmark results into docs/performance.md: each tessera figure beside its limit
and its peers, as a ratio of speeds (above 1: tessera is faster)."""
import json
import os
import sys

results = {}
machine = ""
for name in sorted(os.listdir(sys.argv[1])):
    with open(os.path.join(sys.argv[1], name)) as f:
        data = json.load(f)
    ctx = data["context"]
    machine = f"{ctx.get('num_cpus')} cores at {ctx.get('mhz_per_cpu')} MHz"
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate":  # repeated, interleaved benchmarks: their medians
            if b.get("aggregate_name") == "median":
                results[b["run_name"]] = b["real_time"] * scale[b.get("time_unit", "ns")]
            continue
        results[b["name"]] = b["real_time"] * scale[b.get("time_unit", "ns")]  # seconds

TAGS = {1: "gray", 2: "float", 4: "RGB", 8: "double", 16: "binary", 32: "int", 128: "short", 256: "float3a", 512: "float3b"}

def row(what, ours, others):
    if ours not in results:
        return None
    cells = []
    for label, other in others:
        if other in results:
            cells.append(f"{label} {results[other] / results[ours]:.2f}")
    return f"| {what} | {results[ours] * 1e3:.3g} ms | " + ", ".join(cells) + " |"

rows = {"Chunk allocator (32-byte blocks)": [], "Priority queue and list": [], "Random generators": [],
        "Images, 4096 x 4096": [], "Flips and turns, 4096 x 4096": [], "Image files, 4096 x 4096": [], "Point lists": []}
for w in ["reverse_1m", "random_8k", "random_1m"]:
    rows["Chunk allocator (32-byte blocks)"].append(row(f"chAlloc/chFree {w}", f"chunk/{w}", [("malloc", f"heap/{w}"), ("boost pool", f"pool/{w}"), ("boost pool through a pointer", f"pool_shared/{w}"), ("boost object_pool", f"object_pool/{w}")]))
for n in ["1000000", "65536"]:
    for w in ["add_then_drain", "hold", "add_then_erase_half"]:
        suffix = "/iterations:3" if w == "hold" else ""
        peers = [("std::priority_queue", f"{w}<StdPQ>/{n}{suffix}"), ("std::multiset", f"{w}<MultiSet>/{n}{suffix}"),
                 ("d_ary_heap", f"{w}<DAry>/{n}{suffix}"), ("pairing_heap", f"{w}<Pairing>/{n}{suffix}")]
        rows["Priority queue and list"].append(row(f"queue {w} {n}", f"{w}<Tessera>/{n}{suffix}", peers))
for n in ["1000", "1000000"]:
    rows["Priority queue and list"].append(row(f"list add/walk/remove {n}", f"tessera_list/{n}", [("std::list", f"std_list/{n}")]))
for k in ["uniform_int", "uniform_float", "gaussian", "exponential"]:
    rows["Random generators"].append(row(f"{k} draws", f"{k}_tessera", [("GSL ran2 (same algorithm)", f"{k}_gsl"), ("mt19937 + matching distribution", f"{k}_std")]))
for t in [1, 4, 8]:
    img = rows["Images, 4096 x 4096"]
    img.append(row(f"im_Dup_ {TAGS[t]}", f"dup_tessera/{t}", [("malloc+memcpy", f"dup_memcpy/{t}"), ("OpenCV clone", f"opencv_clone/{t}")]))
    img.append(row(f"im_Init_ {TAGS[t]}", f"init_tessera/{t}", [("memset", f"init_memset/{t}"), ("OpenCV setTo", f"opencv_set_to/{t}")]))
    img.append(row(f"im_Crop_ 2048 window {TAGS[t]}", f"crop_tessera/{t}", [("malloc+memcpy", f"crop_memcpy/{t}"), ("OpenCV ROI copy", f"opencv_roi_copy/{t}")]))
    img.append(row(f"imBorders 16 {TAGS[t]}", f"border_tessera/{t}", [("calloc+memcpy", f"border_memcpy/{t}"), ("OpenCV copyMakeBorder", f"opencv_border/{t}")]))
    for to in [2048, 8192]:
        img.append(row(f"imScale to {to} {TAGS[t]}", f"scale_tessera/{t}/{to}", [("OpenCV resize nearest", f"opencv_resize/{t}/{to}")]))
WAYS = ["flip left to right", "flip top to bottom", "rotate 180", "rotate 90"]
for t in [1, 4, 8]:
    for w, way in enumerate(WAYS):
        turns = rows["Flips and turns, 4096 x 4096"]
        turns.append(row(f"{way} {TAGS[t]}, new image", f"turn_tessera/{t}/{w}",
                         [("memcpy", f"copy_into/{t}"), ("new-image copy (im_Dup_)", f"dup_tessera/{t}")]))
        turns.append(row(f"{way} {TAGS[t]}, into an image that exists", f"turn_into/{t}/{w}", [("memcpy", f"copy_into/{t}")]))
for t, plain in [(1, "gray"), (2, "float"), (32, "int"), (4, None), (8, None)]:
    others = [("OpenCV minMaxLoc", f"opencv_min_max/{t}")]
    if plain:
        others.insert(0, ("plain -O2 loop", f"extrema_plain_{plain}"))
    rows["Images, 4096 x 4096"].append(row(f"im_MaxAndMin_ {TAGS[t]}", f"extrema_tessera/{t}", others))
for t in TAGS:
    f = rows["Image files, 4096 x 4096"]
    peers = [("read, used buffer", f"read_used_buffer/{t}"), ("read, fresh buffer", f"read_fresh_buffer/{t}")]
    if t in (1, 4):
        peers += [("Netpbm", f"netpbm_load/{t}"), ("stb_image", f"stb_load/{t}")]
    f.append(row(f"im_Load {TAGS[t]}", f"load_by_name/{t}", peers))
    f.append(row(f"im_LoadH {TAGS[t]}", f"load_by_descriptor/{t}", peers[:2]))
    speers = [("write", f"plain_write/{t}")] + ([("Netpbm", f"netpbm_save/{t}")] if t in (1, 4) else [])
    f.append(row(f"im_Save_ {TAGS[t]}", f"save_by_name/{t}", speers))
    f.append(row(f"im_SaveH_ {TAGS[t]}", f"save_by_descriptor/{t}", speers[:1]))
rows["Point lists"].append(row("render 100,000 elements, 2048 x 2048 binary", "render/16", [("cairo A1, same geometry", "render_cairo_a1")]))
rows["Point lists"].append(row("render 100,000 elements, 2048 x 2048 colour", "render/4", [("cairo RGB24, same geometry", "render_cairo_rgb24")]))
rows["Point lists"].append(row("a pen of 2,000 over another colour, 1000 x 1000", "colour_over_colour/1000", []))
rows["Point lists"].append(row("a pen of 2,000 over another colour, 2000 x 2000", "colour_over_colour/2000", []))
rows["Point lists"].append(row("a pen of 1,200 along 30 pixels at x = 0, binary", "far_wide_pen/0", []))
rows["Point lists"].append(row("a pen of 1,200 along 30 pixels at x = 2^25, binary", "far_wide_pen/25", []))
rows["Point lists"].append(row("a pen of 7 along a 560,000 x 1 strip, binary", "long_strip", []))
rows["Point lists"].append(row("binary fill of an empty 4096 x 4096 image", "binary_fill", [("memset", "fill_memset")]))
rows["Point lists"].append(row("render 2,000 elements with pens 5-30, 2048 x 2048 binary", "render_wide_pens/16", []))
rows["Point lists"].append(row("render 2,000 elements with pens 5-30, 2048 x 2048 colour", "render_wide_pens/4", []))
for scale in [1, 2, 4, 8]:
    for t, kind in [(16, "binary"), (4, "colour")]:
        rows["Point lists"].append(row(f"line with a pen of 100, 500 x 500 at scale {scale}, {kind}", f"thick_line/{t}/{scale}", []))
for t, kind in [(16, "binary"), (4, "colour")]:
    rows["Point lists"].append(row(f"ten ellipses with a semi-axis of 1e30, 200 x 200, {kind}", f"hostile/{t}/0", []))
    rows["Point lists"].append(row(f"a line with a pen of 1e38, 2000 x 2000, {kind}", f"hostile/{t}/1", []))

print("# Performance\n")
print("Produced by `sh bench/run.sh` (Google Benchmark, Release build, one thread) on " + machine + ".")
print("Times are per benchmark iteration (the chunk rows run a whole workload per iteration); the")
print("image rows are medians of three repetitions, interleaved at random. Each")
print("ratio is the other's time divided by tessera's: above 1, tessera is faster. For")
print("`P4` files the limits are measured on the unpacked pixel bytes. The peers appear where their")
print("Debian packages are installed.\n")
for section, lines in rows.items():
    lines = [l for l in lines if l]
    if not lines:
        continue
    print(f"## {section}\n")
    print("| operation | tessera time | ratio (other / tessera) |")
    print("|---|---|---|")
    for l in lines:
        print(l)
    print()

# Hand-kept notes (before/after measurements of a change) follow the generated tables.
notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "notes")
for name in sorted(os.listdir(notes)) if os.path.isdir(notes) else []:
    with open(os.path.join(notes, name)) as f:
        print(f.read().rstrip("\n"))
        print()
