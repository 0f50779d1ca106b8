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

from ._tessera import Drawing, Error, FileError, Generator, Histogram, Image, __version__, budget, load, pipeline, probe, read, set_budget, thumbnail
from ._tessera import _formats

# The classes live in the extension; they present themselves as tessera's.
for _cls in (Drawing, Generator, Histogram, Image):
    _cls.__module__ = __name__
del _cls



def formats():
    """The image formats tessera reads and writes, as (name, extensions, description, writable)."""
    return list(_formats)


def write(array, target, format=None, *, quality=None, compression=None, lossless=False):
    """Writes a numpy array as an image file (a path, os.PathLike or binary file object).

    The array is an image as tessera.Image.from_array makes it: uint8 or uint16 arrays of shape
    (height, width), (height, width, 3) or (height, width, 4) with alpha are written with their
    8 or 16-bit samples and alpha where the format holds them (png, pam and tiff hold both).
    format, quality, compression and lossless are those of tessera.Image.save.
    """
    Image.from_array(_numpy.asarray(array)).save(target, format, quality=quality, compression=compression,
                                                 lossless=lossless)


__all__ = ["Drawing", "Error", "FileError", "Generator", "Histogram", "Image", "formats", "load", "pipeline", "probe", "read", "thumbnail", "write",
           "__version__"]
