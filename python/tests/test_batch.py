"""python3 -m tessera.batch on a local Dask cluster of two worker processes (loopback only):
a few hundred generated images and drawings, some of them bad; every result byte for byte what
the tessera tool writes for the same file."""
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

import tessera
from tessera import batch


@pytest.fixture(scope="module")
def cluster():
    c = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                 dashboard_address="127.0.0.1:0")
    yield c
    c.close()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("inputs")
    rng = np.random.default_rng(18)
    images, drawings, bad = [], [], []
    for i in range(120):
        kind, ext = [("gray", "pgm"), ("rgb", "ppm"), ("binary", "pbm"), ("rgb", "png"), ("gray", "pam")][i % 5]
        shape = (rng.integers(8, 40), rng.integers(8, 40)) + ((3,) if kind == "rgb" else ())
        a = rng.integers(0, 2 if kind == "binary" else 256, shape).astype(np.int8 if kind == "binary" else np.uint8)
        path = root / f"img{i}.{ext}"
        tessera.Image.from_array(a, kind=kind).save(path)
        images.append(str(path))
    for i in range(80):
        colour = i % 2 == 0
        d = tessera.Drawing(30, 20, x=float(i % 3), color=colour, comment=f"drawing {i}")
        g = tessera.Generator.uniform(0, 30, seed=i + 1)
        for _ in range(6):
            x1, y1, x2, y2 = g.draw(4)
            d.line(x1, y1 * 0.7, x2, y2 * 0.7, size=float(i % 4), color=(i * 3 % 256, 90, 200))
        d.ellipse(15, 10, 8, 5, color=(250, 10, 10))
        if not colour:
            d.fill(1, 1)
        path = root / f"draw{i}.{'cptl' if colour else 'ptl'}"
        d.save(path)
        drawings.append(str(path))
    (root / "short.pgm").write_bytes(b"P5 40 40 255\n" + bytes(100))
    (root / "photo.jpg").write_bytes(b"\xff\xd8\xff\xe0\x00\x10JFIF")
    (root / "broken.ptl").write_text("PTL 0 0 10 10\nl 1 2 x 4\n")
    bad = [str(root / "short.pgm"), str(root / "photo.jpg"), str(root / "broken.ptl")]
    return images, drawings, bad


def outputs(directory):
    return {name: (directory / name).read_bytes() for name in sorted(os.listdir(directory))}


def test_convert_on_the_cluster_equals_the_tool(cluster, files, tool, tmp_path, capsys):
    images, _, bad = files
    inputs = images + bad[:2]
    status = batch.main(["convert", "--scheduler", cluster.scheduler_address, "--out-dir", str(tmp_path / "py"),
                         "--to", "png", "--quiet"] + inputs)
    err = capsys.readouterr().err
    assert status == 2
    assert "short.pgm: pixel data ends" in err and "photo.jpg: a damaged JPEG file" in err
    subprocess.run([tool, "convert", "--quiet", "--out-dir", str(tmp_path / "tool"), "--to", "png"] + inputs,
                   capture_output=True)
    py, ref = outputs(tmp_path / "py"), outputs(tmp_path / "tool")
    assert len(py) == len(images) and py == ref


def test_render_on_the_cluster_equals_the_tool(cluster, files, tool, tmp_path, capsys):
    _, drawings, bad = files
    for extra in ([], ["--scale", "2", "--background", "#123456"], ["--to", "png", "--rgb"]):
        py_dir, tool_dir = tmp_path / f"py{len(extra)}", tmp_path / f"tool{len(extra)}"
        status = batch.main(["render", "--scheduler", cluster.scheduler_address, "--out-dir", str(py_dir), "--quiet"]
                            + extra + drawings + bad[2:])
        assert status == 2
        assert "broken.ptl: line 2: expected a number after 'l', found 'x'" in capsys.readouterr().err
        subprocess.run([tool, "render", "--quiet", "--out-dir", str(tool_dir)] + extra + drawings + bad[2:],
                       capture_output=True)
        py, ref = outputs(py_dir), outputs(tool_dir)
        assert len(py) == len(drawings) and py == ref, extra
    plain = [d for d in drawings if d.endswith(".ptl")][:5]
    assert batch.main(["render", "--scheduler", cluster.scheduler_address, "--out-dir", str(tmp_path / "fg"),
                       "--foreground", "#ff8000", "--quiet"] + plain) == 0
    subprocess.run([tool, "render", "--quiet", "--out-dir", str(tmp_path / "fgt"), "--foreground", "#ff8000"] + plain,
                   check=True)
    assert outputs(tmp_path / "fg") == outputs(tmp_path / "fgt")


def test_info_on_the_cluster_equals_the_tool(cluster, files, tool, capsys):
    images, drawings, bad = files
    inputs = images[:10] + drawings[:4]
    assert batch.main(["info", "--stats", "--scheduler", cluster.scheduler_address, "--quiet"] + inputs + bad[:1]) == 2
    rows = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    ref = subprocess.run([tool, "info", "--json", "--stats"] + inputs, capture_output=True, text=True, check=True).stdout
    assert rows[:-1] == [json.loads(line) for line in ref.splitlines()]
    assert "pixel data ends" in rows[-1]["error"]


def test_a_local_cluster_of_its_own_and_outputs_beside_the_inputs(files, tmp_path):
    images, _, _ = files
    for i, path in enumerate(images[:6]):
        (tmp_path / f"in{i}{os.path.splitext(path)[1]}").write_bytes(open(path, "rb").read())
    inputs = sorted(str(p) for p in tmp_path.iterdir())
    run = subprocess.run([sys.executable, "-m", "tessera.batch", "convert", "--local", "2", "--to", "pgm"] + inputs,
                         capture_output=True, text=True, env=dict(os.environ))
    assert run.returncode == 0, run.stderr
    assert "6 files, 0 failed" in run.stderr and "files/s" in run.stderr
    assert sorted(p.name for p in tmp_path.glob("*.pgm")) == [f"in{i}.pgm" for i in range(6)]


@pytest.mark.skipif(not shutil.which("script"), reason="no 'script' to make a terminal")
def test_a_progress_bar_on_a_terminal(files, tmp_path):
    images, _, _ = files
    command = " ".join([sys.executable, "-m", "tessera.batch", "convert", "--local", "1", "--to", "pgm", "--out-dir",
                        str(tmp_path / "out")] + images[:4])
    typescript = tmp_path / "typescript"
    subprocess.run(["script", "-q", "-e", "-c", command, str(typescript)], capture_output=True, env=dict(os.environ),
                   check=True)
    shown = typescript.read_text(errors="replace")
    assert "[##############################] 4/4" in shown and "4 files, 0 failed" in shown


# ---- the cluster's own failures ----------------------------------------------------------------

KILLER = """
import os
import tessera.batch as b

_real = b.__dict__.setdefault("_unpatched_run_one", b.run_one)  # the preload may run twice


def run_one(command, path, options):
    if os.path.basename(path).startswith("killer"):
        os._exit(3)  # as the kernel's out-of-memory killer would end the worker
    return _real(command, path, options)


b.run_one = run_one
"""


def test_a_file_that_kills_its_worker_fails_alone(files, tool, tmp_path, capsys):
    """Two workers; one input ends its worker's process whenever it is worked on. It is tried again
    on another worker, then reported; every other file is written, byte for byte the tool's."""
    import dask
    _, drawings, _ = files
    killer = tmp_path / "killer.ptl"
    killer.write_text("PTL 0 0 4 4\n1l 0 0 4 4\n")
    preload = tmp_path / "kill_on_killer.py"
    preload.write_text(KILLER)
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        c = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                     dashboard_address="127.0.0.1:0",
                                     preload=[str(preload)])
    try:
        status = batch.main(["render", "--scheduler", c.scheduler_address, "--out-dir", str(tmp_path / "py"),
                             "--quiet"] + drawings[:30] + [str(killer)])
    finally:
        c.close()
    err = capsys.readouterr().err
    assert status == 2
    assert "killer.ptl: its worker died while working on it" in err, err
    assert "Traceback" not in err
    subprocess.run([tool, "render", "--quiet", "--out-dir", str(tmp_path / "tool")] + drawings[:30], check=True)
    assert outputs(tmp_path / "py") == outputs(tmp_path / "tool")


def test_outputs_that_would_collide_are_refused_before_any_work(files, tmp_path, capsys):
    _, drawings, _ = files
    plain = [d for d in drawings if d.endswith(".ptl")][0]
    for sub in ("a", "b"):
        (tmp_path / sub).mkdir()
        shutil.copy(plain, tmp_path / sub / "x.ptl")
    status = batch.main(["render", "--local", "1", "--out-dir", str(tmp_path / "o"), "--quiet",
                         str(tmp_path / "a" / "x.ptl"), str(tmp_path / "b" / "x.ptl")])
    err = capsys.readouterr().err
    assert status == 2 and "would both be written to" in err and err.count("\n") == 1, err
    assert not any((tmp_path / "o").iterdir())


def test_cluster_problems_are_one_line_and_status_2(files, tmp_path):
    images, _, _ = files
    unreachable = subprocess.run([sys.executable, "-m", "tessera.batch", "info", "--scheduler",
                                  "tcp://127.0.0.1:9", images[0]], capture_output=True, text=True,
                                 env=dict(os.environ), timeout=120)
    assert unreachable.returncode == 2
    assert unreachable.stderr.startswith("tessera: cannot reach the scheduler at tcp://127.0.0.1:9")
    assert "Traceback" not in unreachable.stderr
    blocker = tmp_path / "a-file"
    blocker.write_text("not a directory")
    unwritable = subprocess.run([sys.executable, "-m", "tessera.batch", "convert", "--to", "pgm", "--out-dir",
                                 str(blocker / "out"), images[0]], capture_output=True, text=True,
                                env=dict(os.environ), timeout=120)
    assert unwritable.returncode == 2
    assert unwritable.stderr.count("\n") == 1 and "cannot make the output directory" in unwritable.stderr


# ---- one rendering split into tiles --------------------------------------------------------------

def tiled_drawings(tmp_path):
    """A colour drawing and a plain one without fills, whose renderings at scale 5 are 651 x 403
    and 405 x 255: no multiple of the tiles' side."""
    colour = tessera.Drawing(130.1, 80.5, color=True)
    plain = tessera.Drawing(80.9, 50.9, color=False)
    for d, scale in ((colour, 1.0), (plain, 0.6)):
        g = tessera.Generator.uniform(0, 80 * scale, seed=7)
        for k in range(12):
            x1, y1, x2, y2 = g.draw(4)
            d.line(x1, y1 * 0.6, x2, y2 * 0.6, size=float(k % 3), color=(k * 20, 100, 255 - k * 20))
        d.ellipse(40 * scale, 25 * scale, 30 * scale, 12 * scale, size=2.0, color=(250, 10, 10))
    paths = [tmp_path / "colour.cptl", tmp_path / "plain.ptl"]
    colour.save(paths[0])
    plain.save(paths[1])
    return [str(p) for p in paths]


TILE_KILLER = """
import os
import tessera.batch as b

_real = b.__dict__.setdefault("_unpatched_render_tile", b.render_tile)


def render_tile(path, out, options, x, y, width, height):
    marker = path + ".killed"
    if y > 0 and not os.path.exists(marker):  # once, past the first row of tiles
        open(marker, "w").close()
        os._exit(3)
    return _real(path, out, options, x, y, width, height)


b.render_tile = render_tile
"""


def test_tiles_on_a_cluster_give_the_tools_file_even_when_a_worker_dies(tool, tmp_path, capsys):
    """Each drawing's rendering split into 64 x 64 tiles on two workers, one of which dies
    mid-job: one file, byte for byte what the tool writes, colour, binary and painted, TIFF and
    PAM."""
    import dask
    drawings = tiled_drawings(tmp_path)
    preload = tmp_path / "kill_once.py"
    preload.write_text(TILE_KILLER)
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        c = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                     dashboard_address="127.0.0.1:0", preload=[str(preload)])
    try:
        for drawing, extra, to in ((drawings[0], [], "tiff"), (drawings[1], [], "tiff"),
                                   (drawings[1], ["--foreground", "#336699"], "pam")):
            if os.path.exists(drawing + ".killed"):
                os.remove(drawing + ".killed")
            out_dir = tmp_path / f"tiles-{len(extra)}"
            status = batch.main(["render", "--tiles", "64", "--scheduler", c.scheduler_address, "--scale", "5",
                                 "--to", to, "--out-dir", str(out_dir), "--quiet"] + extra + [drawing])
            err = capsys.readouterr().err
            assert status == 0, err
            assert os.path.exists(drawing + ".killed")  # a worker did die
            name = os.path.splitext(os.path.basename(drawing))[0] + "." + to
            want = tmp_path / ("tool-" + name)
            subprocess.run([tool, "render", "--quiet", drawing, str(want), "--scale", "5"] + extra, check=True)
            assert (out_dir / name).read_bytes() == want.read_bytes(), (drawing, extra)
    finally:
        c.close()


def test_tiles_are_refused_where_they_cannot_split_a_rendering(files, cluster, tmp_path, capsys):
    _, drawings, _ = files
    filled = [d for d in drawings if d.endswith(".ptl")][0]  # a binary rendering with a fill
    status = batch.main(["render", "--tiles", "64", "--scheduler", cluster.scheduler_address, "--to", "tiff",
                         "--out-dir", str(tmp_path), "--quiet", filled])
    assert status == 2
    assert "fills cannot be split into tiles" in capsys.readouterr().err
    assert os.listdir(tmp_path) == []
    for argv in (["convert", "--tiles", "64", "--to", "png", filled], ["render", "--tiles", "64"] + drawings[:2],
                 ["render", "--tiles", "8", filled], ["render", "--tiles", "many", filled]):
        with pytest.raises(SystemExit) as e:
            batch.main(argv)
        assert e.value.code == 2
        assert "tiles" in capsys.readouterr().err
