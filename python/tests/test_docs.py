"""The examples a user reads first: the package docstring and the README's Python section."""
import doctest
import os
import pathlib
import re

import numpy as np

import tessera

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_the_package_docstring_runs():
    result = doctest.testmod(tessera)
    assert result.attempted > 0 and result.failed == 0


def test_the_readme_python_example_runs(tmp_path, monkeypatch):
    text = README.read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert blocks, "the README has a Python example"
    monkeypatch.chdir(tmp_path)
    tessera.Image.from_array(np.arange(120 * 100, dtype=np.uint32).reshape(100, 120).astype(np.uint8)).save("scan.pgm")
    scope = {}
    exec(compile(blocks[0], str(README), "exec"), scope)
    assert os.path.exists("drawing.png")
    assert scope["a"].shape == (120, 160, 3) and scope["part"].xoffset == 10
    assert tessera.load("drawing.png").at(0, 0) == (0, 0, 20)  # the halved rows were saved
