"""Every mistake a caller can make raises a Python exception in this process: none reaches a
library assertion or panic (which would end the interpreter and this test run)."""
import io

import numpy as np
import pytest

import tessera


def gray():
    return tessera.Image.from_array(np.arange(12, dtype=np.uint8).reshape(3, 4), xoffset=10, yoffset=20)


def drawing():
    return tessera.Drawing(10, 10)


MISUSES = [
    # images
    ("zero width", lambda: tessera.Image(0, 5), ValueError),
    ("negative height", lambda: tessera.Image(5, -1), ValueError),
    ("unknown kind", lambda: tessera.Image(5, 5, "pointer"), ValueError),
    ("indices past 32 bits", lambda: tessera.Image(5, 5, xoffset=2**31 - 2), OverflowError),
    ("huge image", lambda: tessera.Image(2**31 - 1, 2**31 - 1, "double"), MemoryError),
    ("crop past the edge", lambda: gray().crop(12, 20, 4, 3), IndexError),
    ("crop before the offsets", lambda: gray().crop(0, 0, 2, 2), IndexError),
    ("crop of no pixels", lambda: gray().crop(10, 20, 0, 2), ValueError),
    ("crop_into another kind", lambda: gray().crop_into(tessera.Image(4, 3, "rgb"), 10, 20, 0, 0, 2, 2), TypeError),
    ("crop_into past the target", lambda: gray().crop_into(tessera.Image(2, 2), 10, 20, 1, 1, 2, 2), IndexError),
    ("crop_into from outside", lambda: gray().crop_into(tessera.Image(9, 9), 0, 0, 0, 0, 2, 2), IndexError),
    ("negative border", lambda: gray().border(-1), ValueError),
    ("border past 32 bits", lambda: gray().border(2**31), OverflowError),
    ("scale to zero", lambda: gray().scale(0, 3), ValueError),
    ("scale to negative", lambda: gray().scale(3, -3), ValueError),
    ("at outside", lambda: gray().at(9, 20), IndexError),
    ("set outside", lambda: gray().set(14, 20, 1), IndexError),
    ("gray value too large", lambda: gray().fill(256), ValueError),
    ("gray value fractional", lambda: gray().set(10, 20, 1.5), ValueError),
    ("rgb value not three", lambda: tessera.Image(2, 2, "rgb").fill((1, 2)), TypeError),
    ("value of the wrong type", lambda: gray().fill("white"), TypeError),
    ("array of one dimension", lambda: tessera.Image.from_array(np.zeros(5, np.uint8)), ValueError),
    ("array of five channels", lambda: tessera.Image.from_array(np.zeros((2, 2, 5), np.uint8)), ValueError),
    ("float array of four channels", lambda: tessera.Image.from_array(np.zeros((2, 2, 4), np.float32)), TypeError),
    ("rgba pixel of three values", lambda: tessera.Image(2, 2, "rgba").fill((1, 2, 3)), TypeError),
    ("gray16 pixel out of range", lambda: tessera.Image(2, 2, "gray16").fill(65536), ValueError),
    ("unknown depth", lambda: tessera.load(io.BytesIO(b"P5 1 1 255 x"), depth="deep"), ValueError),
    ("array of complex", lambda: tessera.Image.from_array(np.zeros((2, 2), np.complex64)), TypeError),
    ("empty array", lambda: tessera.Image.from_array(np.zeros((0, 2), np.uint8)), ValueError),
    ("wrap of another dtype", lambda: tessera.Image.from_array(np.zeros((2, 2), np.int64), kind="int", wrap=True),
     TypeError),
    ("wrap of a strided array", lambda: tessera.Image.from_array(np.zeros((4, 4), np.uint8)[::2], wrap=True),
     ValueError),
    ("wrap of a read-only array",
     lambda: tessera.Image.from_array(np.frombuffer(bytes(4), np.uint8).reshape(2, 2), wrap=True), ValueError),
    ("kind that does not fit the shape", lambda: tessera.Image.from_array(np.zeros((2, 2), np.uint8), kind="rgb"),
     ValueError),
    ("convert to an unknown kind", lambda: gray().convert("cmyk"), ValueError),
    # files
    ("load a missing file", lambda: tessera.load("/nonexistent/x.pgm"), tessera.FileError),
    ("load a text file object", lambda: tessera.load(io.StringIO("P5 1 1 255\n\0")), TypeError),
    ("load something else", lambda: tessera.load(42), TypeError),
    ("load a JPEG", lambda: tessera.load(io.BytesIO(b"\xff\xd8\xff\xe0 JFIF")), tessera.FileError),
    ("load a short file", lambda: tessera.load(io.BytesIO(b"P5 4 4 255\nab")), tessera.FileError),
    ("thumbnail without a box", lambda: tessera.thumbnail(io.BytesIO(b"P5 1 1 255\n\0")), ValueError),
    ("thumbnail of width 0", lambda: tessera.thumbnail(io.BytesIO(b"P5 1 1 255\n\0"), 0), ValueError),
    ("thumbnail with an unknown filter", lambda: tessera.thumbnail(io.BytesIO(b"P5 1 1 255\n\0"), 1, filter="sinc"),
     ValueError),
    ("pipeline from a missing file", lambda: tessera.pipeline("/nonexistent/x.png", "/nonexistent/y.tif"),
     tessera.FileError),
    ("pipeline from a file object", lambda: tessera.pipeline(io.BytesIO(b"P5 1 1 255\n\0"), "y.tif"), TypeError),
    ("pipeline with an empty crop", lambda: tessera.pipeline("x.png", "y.tif", crop=(0, 0, 0, 5)), ValueError),
    ("pipeline with an unknown filter", lambda: tessera.pipeline("x.png", "y.tif", width=5, filter="sinc"), ValueError),
    ("pipeline turned by 45 degrees", lambda: tessera.pipeline("x.png", "y.tif", rotate=45), ValueError),
    ("pipeline to an unknown kind", lambda: tessera.pipeline("x.png", "y.tif", kind="cmyk"), ValueError),
    ("probe a missing file", lambda: tessera.probe("/nonexistent/x.png"), tessera.FileError),
    ("probe at an unknown depth", lambda: tessera.probe(io.BytesIO(b"P5 1 1 255\n\0"), depth="deep"), ValueError),
    ("load a drawing as an image", lambda: tessera.load(io.BytesIO(b"PTL 0 0 1 1\n")), tessera.FileError),
    ("save under an unknown extension", lambda: gray().save("/tmp/x.heic"), ValueError),
    ("save in an unknown format", lambda: gray().save(io.BytesIO(), format="heic"), ValueError),
    ("save rgb as pgm", lambda: tessera.Image(2, 2, "rgb").save(io.BytesIO(), format="pgm"), ValueError),
    ("save into a missing directory", lambda: gray().save("/nonexistent/dir/x.pgm"), tessera.FileError),
    ("save to something else", lambda: gray().save(3.5), TypeError),
    ("a path with NUL", lambda: tessera.load("a\0b.pgm"), ValueError),
    ("load at an unknown depth", lambda: tessera.load(io.BytesIO(b"P5 1 1 255\n\0"), depth="16"), ValueError),
    ("load with no pixels allowed", lambda: tessera.load(io.BytesIO(b"P5 1 1 255\n\0"), max_pixels=0), ValueError),
    ("load above the pixel limit", lambda: tessera.load(io.BytesIO(b"P5 4 4 255\n" + bytes(16)), max_pixels=15),
     tessera.FileError),
    ("read a damaged PNG", lambda: tessera.read(io.BytesIO(b"\x89PNG\r\n\x1a\n\0\0")), tessera.FileError),
    ("save at depth 12", lambda: gray().save(io.BytesIO(), format="png", depth=12), ValueError),
    ("save JPEG at depth 16", lambda: gray().save(io.BytesIO(), format="jpeg", depth=16), ValueError),
    ("save JPEG at quality 0", lambda: gray().save(io.BytesIO(), format="jpeg", quality=0), ValueError),
    ("save PNG at compression 10", lambda: gray().save(io.BytesIO(), format="png", compression=10), ValueError),
    ("save PNG with LZW", lambda: gray().save(io.BytesIO(), format="png", compression="lzw"), tessera.Error),
    ("save at compression 'zip'", lambda: gray().save(io.BytesIO(), format="tiff", compression="zip"), TypeError),
    ("save an int image at 8 bits", lambda: tessera.Image(2, 2, "int").save(io.BytesIO(), format="png"), ValueError),
    ("write a float64 array as PNG", lambda: tessera.write(np.zeros((2, 2)), io.BytesIO(), "png"), ValueError),
    # drawings
    ("drawing of no area", lambda: tessera.Drawing(0, 5), ValueError),
    ("drawing of infinite size", lambda: tessera.Drawing(float("inf"), 5), ValueError),
    ("colour of two values", lambda: drawing().point(1, 1, color=(1, 2)), TypeError),
    ("colour out of range", lambda: drawing().line(0, 0, 1, 1, color=(0, 0, 256)), ValueError),
    ("negative size", lambda: drawing().ellipse(5, 5, 2, 2, size=-1), ValueError),
    ("render at scale 0", lambda: drawing().render(0), ValueError),
    ("render at a NaN scale", lambda: drawing().render(1, float("nan")), ValueError),
    ("render of another kind", lambda: drawing().render(1, kind="gray"), ValueError),
    ("render too large", lambda: drawing().render(1e9), tessera.Error),
    ("render an area outside", lambda: drawing().render(1, area=(-1, 0, 5, 5)), ValueError),
    ("render an area of no pixels", lambda: drawing().render(1, area=(0, 0, 0, 5)), ValueError),
    ("render an area of three numbers", lambda: drawing().render(1, area=(0, 0, 5)), TypeError),
    ("render a binary area of fills", lambda: drawing().fill(1, 1).render(1, area=(0, 0, 5, 5)), tessera.Error),
    ("geometry at scale 0", lambda: drawing().geometry(0), ValueError),
    ("load a damaged drawing", lambda: tessera.Drawing.load(io.BytesIO(b"PTL 0 0 9 9\nl 1 x\n")),
     tessera.FileError),
    ("load a missing drawing", lambda: tessera.Drawing.load("/nonexistent.ptl"), tessera.FileError),
    # generators and histograms
    ("uniform_int low above high", lambda: tessera.Generator.uniform_int(5, 1), ValueError),
    ("uniform_int past 32 bits", lambda: tessera.Generator.uniform_int(0, 2**31), OverflowError),
    ("uniform of NaN", lambda: tessera.Generator.uniform(float("nan"), 1), ValueError),
    ("negative deviation", lambda: tessera.Generator.normal(0, -1), ValueError),
    ("rate 0", lambda: tessera.Generator.exponential(0), ValueError),
    ("seed past 32 bits", lambda: tessera.Generator.uniform(0, 1, seed=2**40), OverflowError),
    ("negative draw size", lambda: tessera.Generator.uniform(0, 1, seed=1).draw(-1), ValueError),
    ("histogram of no bins", lambda: tessera.Histogram(0, 0, 1), ValueError),
    ("histogram of an empty range", lambda: tessera.Histogram(4, 1, 1), ValueError),
    ("histogram weights of another length", lambda: tessera.Histogram(4, 0, 1).add([0.1, 0.2], [1, 2, 3]),
     ValueError),
    # more misuse: overflowing sizes, memory the library cannot read as it is
    ("border of 2**62 + 1", lambda: gray().border(2**62 + 1), OverflowError),
    ("wrap of a big-endian array", lambda: tessera.Image.from_array(np.zeros((2, 2), ">i2"), wrap=True), ValueError),
    ("wrap of an unaligned array",
     lambda: tessera.Image.from_array(np.frombuffer(bytearray(17), np.uint8)[1:].view(np.float64).reshape(1, 2),
                                      kind="double", wrap=True), ValueError),
    ("a header over the budget", lambda: tessera.load(io.BytesIO(b"Q2\n2147483647 2147483647\n")), tessera.FileError),
    ("a result over the budget", lambda: tessera.Image(2, 2, "double").resize(46341, 46341), tessera.Error),
    ("exact given by position", lambda: gray().resize(4, 4, "box", True), TypeError),
    ("exact as a word", lambda: gray().resize(4, 4, exact="yes"), TypeError),
    ("a border over the budget", lambda: tessera.Image(2, 2).border(30000), tessera.Error),
    ("a scale over the budget", lambda: tessera.Image(2, 2).scale(50000, 50000), tessera.Error),
    ("a budget of no bytes", lambda: tessera.set_budget(-1), (ValueError, OverflowError, TypeError)),
]

# Objects made with cls.__new__(cls), whose __init__ never ran: every use raises TypeError.
NEVER_INITIALISED = [
    ("Image.width", lambda: tessera.Image.__new__(tessera.Image).width),
    ("Image.comment", lambda: tessera.Image.__new__(tessera.Image).comment),
    ("Image.dup", lambda: tessera.Image.__new__(tessera.Image).dup()),
    ("Image.save", lambda: tessera.Image.__new__(tessera.Image).save(io.BytesIO(), format="pgm")),
    ("memoryview(Image)", lambda: memoryview(tessera.Image.__new__(tessera.Image))),
    ("Image.array", lambda: tessera.Image.__new__(tessera.Image).array),
    ("Drawing len", lambda: len(tessera.Drawing.__new__(tessera.Drawing))),
    ("Drawing.render", lambda: tessera.Drawing.__new__(tessera.Drawing).render(1)),
    ("Drawing.point", lambda: tessera.Drawing.__new__(tessera.Drawing).point(1, 1)),
    ("Generator.draw", lambda: tessera.Generator.__new__(tessera.Generator).draw()),
    ("Generator repr", lambda: repr(tessera.Generator.__new__(tessera.Generator))),
    ("Histogram.add", lambda: tessera.Histogram.__new__(tessera.Histogram).add(1.0)),
    ("Histogram.bins", lambda: tessera.Histogram.__new__(tessera.Histogram).bins),
]


@pytest.mark.parametrize("what,call,exception", MISUSES, ids=[m[0] for m in MISUSES])
def test_misuse_raises(what, call, exception):
    with pytest.raises(exception):
        call()


def test_file_errors_are_oserrors_with_the_reason():
    with pytest.raises(OSError) as e:
        tessera.load(io.BytesIO(b"P5\n60 80\n1000\n" + bytes(1234)))
    assert isinstance(e.value, tessera.Error)
    assert "pixel data ends after 1,234 of 9,600 bytes" in str(e.value)
    with pytest.raises(tessera.FileError, match="line 2: expected a number after 'l', found 'x'"):
        tessera.Drawing.load(io.BytesIO(b"PTL 0 0 9 9\nl 1 x\n"))


def _over_budget(call):
    before = tessera.set_budget(1000)
    try:
        call()
    finally:
        tessera.set_budget(before)


# The library's failures carry their kind as code, taken from the library's code, not its text.
CODED = [
    ("a missing file", lambda: tessera.load("/nonexistent/x.pgm"), tessera.FileError, "file"),
    ("a short file", lambda: tessera.load(io.BytesIO(b"P5 4 4 255\nab")), tessera.FileError, "format"),
    ("a damaged PNG", lambda: tessera.read(io.BytesIO(b"\x89PNG\r\n\x1a\n\0\0")), tessera.FileError, "format"),
    ("a drawing's syntax", lambda: tessera.Drawing.load(io.BytesIO(b"PTL 0 0 9 9\nl 1 x\n")), tessera.FileError,
     "format"),
    ("a drawing as an image", lambda: tessera.load(io.BytesIO(b"PTL 0 0 1 1\n")), tessera.FileError, "unsupported"),
    ("above the pixel limit", lambda: tessera.load(io.BytesIO(b"P5 4 4 255\n" + bytes(16)), max_pixels=15),
     tessera.FileError, "limit"),
    ("a result over the budget", lambda: _over_budget(lambda: tessera.Image(4, 4).scale(100, 100)), tessera.Error,
     "limit"),
    ("a render over the budget", lambda: _over_budget(lambda: tessera.Drawing(10, 10).render(100, 100)),
     tessera.Error, "limit"),
]


@pytest.mark.parametrize("what,call,exception,code", CODED, ids=[m[0] for m in CODED])
def test_failures_carry_the_library_code(what, call, exception, code):
    with pytest.raises(exception) as e:
        call()
    assert e.value.code == code, str(e.value)


def test_memory_is_memory_error_and_other_errors_have_a_code_attribute():
    with pytest.raises(MemoryError):
        tessera.Image(2**31 - 1, 2**31 - 1, "double")
    assert tessera.Error("mine").code is None


@pytest.mark.parametrize("what,call", NEVER_INITIALISED, ids=[m[0] for m in NEVER_INITIALISED])
def test_objects_never_initialised_raise(what, call):
    with pytest.raises(TypeError, match="never initialised"):
        call()


def test_missing_and_forbidden_files_are_the_oserrors_python_users_catch(tmp_path):
    missing = tmp_path / "missing.pgm"
    with pytest.raises(FileNotFoundError) as e:
        tessera.load(missing)
    assert isinstance(e.value, tessera.FileError)
    assert e.value.errno == 2 and e.value.filename == str(missing)
    with pytest.raises(FileNotFoundError) as e:
        tessera.Drawing.load(tmp_path / "missing.ptl")
    assert e.value.filename == str(tmp_path / "missing.ptl")
    with pytest.raises(FileNotFoundError):
        tessera.Image(2, 2).save(tmp_path / "no" / "such" / "dir.pgm")


def test_comment_and_save_on_two_threads_share_the_image_safely(tmp_path):
    import threading
    im = tessera.Image(64, 64)
    stop = threading.Event()

    def saver():
        while not stop.is_set():
            im.save(io.BytesIO(), format="pgm")

    thread = threading.Thread(target=saver)
    thread.start()
    try:
        for k in range(2000):
            im.comment = "comment %d " % k * 20
            assert im.comment.startswith("comment %d" % k)
    finally:
        stop.set()
        thread.join()
