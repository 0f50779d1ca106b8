"""Resizing, flips and rotations from Python: numpy's own flips and turns, Pillow's resize with
the same filters (sampled at the same pixel centres), and the runner's edits equal the tool's."""
import os
import subprocess
import sys

import numpy as np
import pytest

import tessera
from test_images import KINDS, random_array

PIL = pytest.importorskip("PIL.Image")
FILTERS = {"nearest": PIL.Resampling.NEAREST, "box": PIL.Resampling.BOX, "bilinear": PIL.Resampling.BILINEAR,
           "bicubic": PIL.Resampling.BICUBIC, "lanczos3": PIL.Resampling.LANCZOS}


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_flips_and_turns_are_numpys(kind):
    rng = np.random.default_rng(11)
    a = random_array(rng, kind, h=37, w=70)
    im = tessera.Image.from_array(a, xoffset=3, yoffset=-4, kind=kind)
    binary = kind == "binary"
    same = (lambda x: x.astype(bool)) if binary else (lambda x: x)
    assert np.array_equal(same(np.asarray(im.flip_horizontal())), same(a[:, ::-1]))
    assert np.array_equal(same(np.asarray(im.flip_vertical())), same(a[::-1]))
    assert np.array_equal(same(np.asarray(im.rotate(90))), same(np.rot90(a, -1)))
    assert np.array_equal(same(np.asarray(im.rotate(180))), same(np.rot90(a, 2)))
    assert np.array_equal(same(np.asarray(im.rotate(270))), same(np.rot90(a, 1)))
    assert np.array_equal(same(np.asarray(im.rotate(-90))), same(np.rot90(a, 1)))
    t = im.transpose()
    assert np.array_equal(same(np.asarray(t)), same(np.swapaxes(a, 0, 1)))
    assert (t.xoffset, t.yoffset) == (-4, 3) and (im.flip_vertical().xoffset, im.rotate(180).yoffset) == (3, -4)


def test_flips_and_turns_are_pillows():
    rng = np.random.default_rng(3)
    a = rng.integers(0, 256, (41, 66, 3), dtype=np.uint8)
    im, p = tessera.Image.from_array(a), PIL.fromarray(a)
    T = PIL.Transpose
    pairs = [(im.flip_horizontal(), T.FLIP_LEFT_RIGHT), (im.flip_vertical(), T.FLIP_TOP_BOTTOM),
             (im.rotate(90), T.ROTATE_270), (im.rotate(180), T.ROTATE_180), (im.rotate(270), T.ROTATE_90),
             (im.transpose(), T.TRANSPOSE)]
    for ours, theirs in pairs:
        assert np.array_equal(np.asarray(ours), np.asarray(p.transpose(theirs))), theirs


@pytest.mark.parametrize("filter", sorted(FILTERS))
@pytest.mark.parametrize("mode", ["L", "RGB"])
def test_resize_is_within_one_of_pillow(filter, mode, capsys):
    """Pillow rounds its x pass to 8 bits and weighs in fixed point; tessera keeps its x pass to
    1/128 (or doubles, exactly). A channel may differ by 1; the share that does is reported."""
    rng = np.random.default_rng(5)
    shape = (97, 131, 3) if mode == "RGB" else (97, 131)
    # smooth content with edges, as photographs have, and noise
    y, x = np.mgrid[0:97, 0:131]
    base = (127 + 100 * np.sin(x / 7.0) * np.cos(y / 11.0)).astype(np.int64)
    base = np.where((x // 20 + y // 15) % 2 == 0, base, 255 - base)
    a = np.clip((base[..., None] if mode == "RGB" else base) + rng.integers(-20, 21, shape), 0, 255).astype(np.uint8)
    im, p = tessera.Image.from_array(a), PIL.fromarray(a, mode)
    differing = total = 0
    for w, h in [(53, 41), (300, 222), (131, 40), (17, 250)]:  # down, up and both, by factors that are not whole
        ours = np.asarray(im.resize(w, h, filter=filter)).astype(int)
        theirs = np.asarray(p.resize((w, h), FILTERS[filter])).astype(int)
        diff = np.abs(ours - theirs)
        assert diff.max() <= 1, f"{w}x{h}: {diff.max()} at {np.unravel_index(diff.argmax(), diff.shape)}"
        if filter == "nearest":
            assert diff.max() == 0
        differing += int((diff > 0).sum())
        total += diff.size
    with capsys.disabled():
        print(f"\n  {mode} {filter}: {100.0 * differing / total:.2f}% of channels differ from Pillow by 1")


def test_fixed_point_resizes_are_within_one_of_the_exact_ones_everywhere(tmp_path):
    """The default for 8-bit images; the tool's and the runner's --exact give the exact values."""
    rng = np.random.default_rng(12)
    a = rng.integers(0, 256, (61, 83, 3), dtype=np.uint8)
    im = tessera.Image.from_array(a)
    differing = 0
    for f in FILTERS:
        for w, h in [(20, 70), (200, 15)]:
            fast, exact = (np.asarray(im.resize(w, h, filter=f, exact=e)).astype(int) for e in (False, True))
            assert np.abs(fast - exact).max() <= 1, (f, w, h)
            differing += int((fast != exact).sum())
    assert differing > 0
    # thumbnails and pipelines take the same choice
    im.save(tmp_path / "in.png")
    for e in (False, True):
        want = np.asarray(im.resize(40, filter="lanczos3", exact=e))
        got = tessera.thumbnail(tmp_path / "in.png", 40, filter="lanczos3", exact=e)
        assert np.array_equal(np.asarray(got), want), e
        tessera.pipeline(tmp_path / "in.png", tmp_path / "p.png", width=40, filter="lanczos3", exact=e)
        assert np.array_equal(np.asarray(tessera.load(tmp_path / "p.png")), want), e
    tool = os.environ.get("TESSERA_TOOL")
    if not tool:
        return
    im.save(tmp_path / "in.ppm")
    for extra in [[], ["--exact"]]:
        subprocess.run([tool, "resize", str(tmp_path / "in.ppm"), str(tmp_path / "out.ppm"), "40x50", "--filter",
                        "lanczos3", *extra], check=True)
        want = im.resize(40, 50, filter="lanczos3", exact=bool(extra))
        assert np.array_equal(np.asarray(tessera.load(tmp_path / "out.ppm")), np.asarray(want)), extra
    subprocess.run([sys.executable, "-m", "tessera.batch", "resize", "--local", "1", "--quiet", "--exact", "--out-dir",
                    str(tmp_path / "runner"), "40x50", str(tmp_path / "in.ppm")], check=True, env=dict(os.environ))
    assert np.array_equal(np.asarray(tessera.load(tmp_path / "runner" / "in.ppm")),
                          np.asarray(im.resize(40, 50, exact=True)))


def test_resize_arguments():
    im = tessera.Image(40, 30)
    assert im.resize(20).shape == (15, 20)
    assert im.resize(height=3).shape == (3, 4)
    assert im.resize(7, 9, filter="lanczos3").shape == (9, 7)
    for bad in [dict(), dict(width=0), dict(width=5, filter="sharp"), dict(height=-1)]:
        with pytest.raises(ValueError):
            im.resize(**bad)
    with pytest.raises(OverflowError):
        im.resize(2**31)
    # 2**65 bytes of doubles: refused by the budget before any allocation, and by memory above it
    with pytest.raises(tessera.Error, match="more than the budget"):
        tessera.Image(4, 3, "double").resize(2**31 - 1, 2**31 - 1, filter="nearest")
    before = tessera.set_budget(2**64 - 1)
    try:
        with pytest.raises(MemoryError):
            tessera.Image(4, 3, "double").resize(2**31 - 1, 2**31 - 1, filter="nearest")
    finally:
        tessera.set_budget(before)
    for degrees in (0, 45, 360, -360):
        with pytest.raises(ValueError):
            im.rotate(degrees)


def test_the_runner_edits_as_the_tool_does(tmp_path):
    tool = os.environ.get("TESSERA_TOOL")
    if not tool:
        pytest.skip("TESSERA_TOOL names the tool to compare with")
    rng = np.random.default_rng(9)
    files = []
    for i in range(3):
        f = tmp_path / f"in{i}.ppm"
        tessera.Image.from_array(rng.integers(0, 256, (23 + i, 31, 3), dtype=np.uint8)).save(f)
        files.append(str(f))
    for command, operands, extra in [("resize", ["60%"], ["--filter", "lanczos3"]), ("rotate", ["270"], []),
                                     ("flop", [], []), ("crop", ["1", "2", "5", "6"], ["--to", "png"])]:
        by_tool, by_runner = tmp_path / f"tool-{command}", tmp_path / f"runner-{command}"
        subprocess.run([tool, command, "--out-dir", str(by_tool), *extra, *operands, *files], check=True)
        subprocess.run([sys.executable, "-m", "tessera.batch", command, "--local", "1", "--quiet", "--out-dir",
                        str(by_runner), *extra, *operands, *files], check=True, env=dict(os.environ))
        names = sorted(os.listdir(by_tool))
        assert names == sorted(os.listdir(by_runner)) and len(names) == 3
        for n in names:
            assert (by_tool / n).read_bytes() == (by_runner / n).read_bytes(), (command, n)
    bad = subprocess.run([sys.executable, "-m", "tessera.batch", "rotate", "--local", "1", "--out-dir",
                          str(tmp_path / "x"), "45", *files], capture_output=True, text=True)
    assert bad.returncode == 2 and "90, 180 or 270" in bad.stderr


def test_flips_and_turns_are_imagemagicks(tmp_path):
    convert = "/usr/bin/convert"
    if not os.path.exists(convert):
        pytest.skip("ImageMagick is not installed (scripts/test.sh installs it)")
    rng = np.random.default_rng(4)
    a = rng.integers(0, 256, (29, 45, 3), dtype=np.uint8)
    im = tessera.Image.from_array(a)
    im.save(tmp_path / "in.ppm")
    for args, ours in [(["-flip"], im.flip_vertical()), (["-flop"], im.flip_horizontal()),
                       (["-rotate", "90"], im.rotate(90)), (["-rotate", "180"], im.rotate(180)),
                       (["-rotate", "270"], im.rotate(270)), (["-transpose"], im.transpose())]:
        out = tmp_path / "out.ppm"
        subprocess.run([convert, str(tmp_path / "in.ppm"), *args, str(out)], check=True)
        assert np.array_equal(np.asarray(tessera.load(out)), np.asarray(ours)), args


@pytest.mark.parametrize("filter", ["nearest", "box", "bilinear", "bicubic", "lanczos3"])
def test_rgba_resize_weighs_colours_by_alpha_as_pillow_does(filter, capsys):
    """Pillow premultiplies in 8 bits, rounds each pass to 8 bits and truncates when it divides
    by alpha again; tessera keeps doubles. Alpha agrees within 1, and colour times alpha within
    2.5 (of 255), on photograph-like content: no dark fringes where transparent pixels meet
    opaque ones. (On full-range noise enlarged with lanczos3, Pillow's roundings reach 2.7.)"""
    rng = np.random.default_rng(11)
    y, x = np.mgrid[0:61, 0:83]
    base = 127 + 100 * np.sin(x / 5.0)[..., None] * np.cos(y[..., None] / 7.0 + np.arange(4))
    a = np.clip(base + rng.integers(-8, 9, (61, 83, 4)), 0, 255).astype(np.uint8)
    a[:, :30, 3] = 0  # a transparent band of black pixels beside opaque ones
    a[:, :30, :3] = 0
    a[:, 30:50, 3] = 255
    im, p = tessera.Image.from_array(a), PIL.fromarray(a, "RGBA")
    assert im.kind == "rgba"
    for w, h in [(29, 23), (150, 140), (83, 20)]:
        ours = np.asarray(im.resize(w, h, filter=filter)).astype(float)
        theirs = np.asarray(p.resize((w, h), FILTERS[filter])).astype(float)
        assert np.abs(ours[..., 3] - theirs[..., 3]).max() <= 1, f"{w}x{h} alpha"
        weighted = np.abs(ours[..., :3] * ours[..., 3:] - theirs[..., :3] * theirs[..., 3:]) / 255
        assert weighted.max() <= 2.5, f"{w}x{h}: {weighted.max()}"
        if filter == "nearest":
            assert (ours == theirs).all()


def test_over_composites_by_alpha_and_places_by_offsets():
    bottom = tessera.Image.from_array(np.full((3, 4, 3), (0, 0, 255), np.uint8), xoffset=10, yoffset=20)
    top = tessera.Image.from_array(np.array([[[255, 0, 0, 128], [9, 9, 9, 0]]], np.uint8), xoffset=12, yoffset=21)
    out = top.over(bottom)
    assert out.kind == "rgb" and (out.xoffset, out.yoffset) == (10, 20)
    a = np.asarray(out)
    assert tuple(a[1, 2]) == (128, 0, 127) and tuple(a[1, 3]) == (0, 0, 255) and (a[0] == (0, 0, 255)).all()
    with pytest.raises(tessera.Error):
        top.over(tessera.Image(2, 2, "gray"))
