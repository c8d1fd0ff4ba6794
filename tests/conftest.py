import gc
import importlib.util
import os
import sys

import pytest


@pytest.fixture
def collect():
    """Runs the cycle collector a few times (weak-reference tests)."""
    def run():
        for _ in range(3):
            gc.collect()
    return run


# --- Scripted runs (scripts/test.sh and friends) ----------------------------
try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the suite itself does not need hypothesis to load
    pass
else:
    # Shared CI machines are noisy and the debug and sanitizer interpreters are
    # several times slower than a release build: no per-example deadline there,
    # and no health check about generation speed.  Chosen with
    # --hypothesis-profile by the scripts.
    settings.register_profile("ci", deadline=None, print_blob=True)
    settings.register_profile(
        "slow-interpreter", deadline=None, print_blob=True,
        suppress_health_check=[HealthCheck.too_slow])


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "refleak_exempt(reason): the test fills a process-wide cache by design; "
        "scripts/refleak.sh runs it once but leaves it out of the measured rounds")


def pytest_collection_finish(session):
    """With TAVIK_EXPECT_INSTALLED=<dir> (set by the test scripts), refuses to
    run unless every tavik module imported so far, and the package itself,
    come from under <dir>: the installed package, never a source tree or
    stray in-place builds."""
    where = os.environ.get("TAVIK_EXPECT_INSTALLED")
    if not where:
        return
    root = os.path.realpath(where)
    spec = importlib.util.find_spec("tavik.datastructures")
    origins = {"tavik.datastructures": spec.origin if spec else "<not found>"}
    for name, mod in list(sys.modules.items()):
        if name == "tavik" or name.startswith("tavik."):
            origins[name] = getattr(mod, "__file__", None)
    wrong = {name: origin for name, origin in origins.items()
             if origin and not os.path.realpath(origin).startswith(root + os.sep)}
    if wrong:
        lines = "\n".join(f"  {name}: {origin}" for name, origin in sorted(wrong.items()))
        raise pytest.UsageError(
            f"the package under test is not the one installed under {root}:\n{lines}")
