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
from ._tessera import Drawing, Error, FileError, Generator, Histogram, Image, __version__, load

# The classes live in the extension; they present themselves as tessera's.
for _cls in (Drawing, Generator, Histogram, Image):
    _cls.__module__ = __name__
del _cls

__all__ = ["Drawing", "Error", "FileError", "Generator", "Histogram", "Image", "load", "__version__"]
