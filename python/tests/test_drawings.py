"""Drawings built, iterated, saved and rendered; generators and histograms."""
import io
import subprocess

import numpy as np
import pytest

import tessera


def house():
    d = tessera.Drawing(40, 40, color=False, comment="a house")
    d.line(5, 35, 35, 35).line(5, 35, 5, 15).line(35, 35, 35, 15).line(5, 15, 20, 3).line(35, 15, 20, 3)
    d.ellipse(20, 25, 4, 4, size=2).point(20, 10, size=3).fill(10, 30)
    return d


def test_building_and_iterating():
    d = house()
    assert len(d) == 8
    kinds = [e[0] for e in d]
    assert list(d) == d.elements()
    assert kinds == ["line"] * 5 + ["ellipse", "point", "fill"]
    assert d.elements()[5][2] == 2.0 and d.bounds == (0.0, 0.0, 40.0, 40.0) and not d.color
    assert d.comment == "a house"


def test_save_and_load_give_the_same_drawing(tmp_path):
    d = house()
    d.save(tmp_path / "h.ptl")
    back = tessera.Drawing.load(tmp_path / "h.ptl")
    assert back.elements() == d.elements() and back.comment.strip() == "a house"
    text = io.StringIO()
    d.save(text)
    assert text.getvalue() == (tmp_path / "h.ptl").read_text()
    binary = io.BytesIO()
    d.save(binary)
    binary.seek(0)
    assert tessera.Drawing.load(binary).elements() == d.elements()


def test_rendering_matches_the_tool(tool, tmp_path):
    d = house()
    d.save(tmp_path / "h.ptl")
    im, clipped = d.render(3, kind="binary", return_clipped=True)
    assert im.kind == "binary" and im.shape == (120, 120) and not clipped
    im.save(tmp_path / "py.pbm")
    subprocess.run([tool, "render", str(tmp_path / "h.ptl"), str(tmp_path / "tool.pbm"), "--scale", "3"], check=True)
    assert (tmp_path / "py.pbm").read_bytes() == (tmp_path / "tool.pbm").read_bytes()
    colour = tessera.Drawing(20, 10, x=-5, y=2)
    colour.line(-5, 2, 15, 12, size=1.5, color=(255, 0, 0)).ellipse(5, 7, 6, 3, color=(0, 0, 255))
    rgb, clipped = colour.render(2, 3, kind="rgb", background=(10, 20, 30), return_clipped=True)
    assert rgb.kind == "rgb" and rgb.shape == (30, 40, 3) and (rgb.xoffset, rgb.yoffset) == (-10, 6)
    assert tuple(np.asarray(rgb)[0, 39]) == (10, 20, 30) and clipped
    # any area alone is that part of the whole rendering, offsets and all
    assert colour.geometry(2, 3) == (-10, 6, 40, 30)
    part = colour.render(2, 3, kind="rgb", background=(10, 20, 30), area=(-3, 13, 21, 9))
    assert part.shape == (9, 21, 3) and (part.xoffset, part.yoffset) == (-3, 13)
    assert (np.asarray(part) == np.asarray(rgb)[7:16, 7:28]).all()
    plain = tessera.Drawing(40, 40, color=False)
    plain.line(5, 35, 35, 3, size=2).ellipse(20, 25, 9, 4, size=1).point(20, 10, size=3)
    whole = np.asarray(plain.render(3, kind="binary"))
    band = np.asarray(plain.render(3, kind="binary", area=(0, 40, 120, 17)))
    assert band.any() and (band == whole[40:57]).all()


def test_generators_repeat_from_a_seed():
    a = tessera.Generator.uniform_int(1, 6, seed=7).draw(1000)
    b = tessera.Generator.uniform_int(1, 6, seed=7).draw((10, 100))
    assert a.dtype == np.int32 and np.array_equal(a, b.ravel()) and a.min() >= 1 and a.max() <= 6
    assert len(set(a.tolist())) == 6
    g = tessera.Generator.normal(10, 2, seed=3)
    first = g.draw(5)
    g.reseed(3)
    assert np.array_equal(g.draw(5), first)
    x = tessera.Generator.uniform(2, 3, seed=11).draw(10000)
    assert 2 <= x.min() and x.max() < 3 and abs(x.mean() - 2.5) < 0.02
    e = tessera.Generator.exponential(4, seed=5).draw(20000)
    assert abs(e.mean() - 0.25) < 0.01 and isinstance(tessera.Generator.exponential(1, seed=5).draw(), float)


def test_histograms_count_weights():
    h = tessera.Histogram(4, 0.0, 1.0)
    h.add([-1.0, 0.1, 0.3, 0.3, 0.99, 5.0])
    h.add(0.6, 2.5)
    h.add(np.array([0.1, 0.6]), np.array([1.0, 0.5]))
    assert h.bins.tolist() == [3.0, 2.0, 3.0, 2.0] and len(h) == 4 and (h.low, h.high) == (0.0, 1.0)
