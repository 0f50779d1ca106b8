import os
import shutil

import numpy as np
import pytest


@pytest.fixture(scope="session")
def tool():
    """The tessera command-line tool built beside the package (TESSERA_TOOL), for comparisons."""
    path = os.environ.get("TESSERA_TOOL") or shutil.which("tessera")
    if not path:
        pytest.skip("no tessera tool to compare with")
    return path


@pytest.fixture
def rng():
    return np.random.default_rng(int(os.environ.get("TESSERA_TEST_SEED", "2026")))


def pytest_configure(config):
    # Dask's distributed of Debian 12 starts tornado's loop the old way.
    config.addinivalue_line("filterwarnings", "ignore:make_current is deprecated:DeprecationWarning")
