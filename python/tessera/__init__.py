"""tessera: images as numpy arrays, image and drawing files, rendering, generators, histograms.

    >>> import tessera, numpy
    >>> d = tessera.Drawing(40, 30, color=True)
    >>> _ = d.line(2, 2, 38, 28, size=2, color=(255, 0, 0)).ellipse(20, 15, 10, 8)
    >>> im = d.render(4, kind="rgb")
    >>> numpy.asarray(im).shape
    (120, 160, 3)

Every mistake raises a Python exception (ValueError, IndexError, TypeError, OverflowError);
what the library reports raises tessera.Error (tessera.FileError, also an OSError, for files)
with its reason, and exhausted memory MemoryError. Loading, saving, rendering and scaling
release the GIL, so threads work in parallel on distinct images and drawings.

``python3 -m tessera.batch`` renders, converts or describes many files on a Dask cluster.
"""
import numpy as _numpy

from ._tessera import Drawing, Error, FileError, Generator, Histogram, Image, __version__, budget, load, read, set_budget
from ._tessera import _formats

# The classes live in the extension; they present themselves as tessera's.
for _cls in (Drawing, Generator, Histogram, Image):
    _cls.__module__ = __name__
del _cls



def formats():
    """The image formats tessera reads and writes, as (name, extensions, description, writable)."""
    return list(_formats)


def write(array, target, format=None, *, quality=None, compression=None):
    """Writes a numpy array as an image file (a path, os.PathLike or binary file object).

    uint16 arrays, (height, width) or (height, width, 3), are written with 16-bit samples (png,
    pgm, ppm, pam, tiff); other arrays as tessera.Image.from_array makes them. format, quality
    and compression are those of tessera.Image.save.
    """
    a = _numpy.asarray(array)
    options = {"quality": quality, "compression": compression}
    if a.dtype == _numpy.uint16:
        if a.ndim == 3:
            image = Image.from_array(a.astype(_numpy.float32), kind="float3b")
        else:
            image = Image.from_array(a.astype(_numpy.int32), kind="int")
        image.save(target, format, depth=16, **options)
    else:
        Image.from_array(a).save(target, format, **options)


__all__ = ["Drawing", "Error", "FileError", "Generator", "Histogram", "Image", "formats", "load", "read", "write",
           "__version__"]
