import gc

import pytest


@pytest.fixture
def collect():
    """Runs the cycle collector a few times (weak-reference tests)."""
    def run():
        for _ in range(3):
            gc.collect()
    return run
