"""Reference-leak check of the test suite, run by scripts/refleak.sh under a
debug build of CPython (one that has sys.gettotalrefcount()):

    python scripts/refleak.py [pytest arguments, e.g. the tests/ directory]

pytest collects the suite as usual; this plugin then replaces its test loop.
Each test file's tests run WARMUP + RUNS times in a row in this one process:

- the first round is an ordinary pytest run (the usual progress, failures and
  closing summary come from it);
- the other rounds run the same tests again without reporting them: a test
  that fails only on a repeated run is reported here and fails the check;
- after each round every fixture is torn down, the interpreter's own caches
  that hold references are emptied (see clear_caches) and the garbage is
  collected; then sys.gettotalrefcount() is read.

The criterion (see drift()): a file leaks when the total reference count
grows by more than TOLERANCE in every one of its RUNS measured rounds, and
keeps doing so in CONFIRM further rounds; it over-releases when the count
falls by more than TOLERANCE in all those rounds (a reference given up twice:
some object is on its way to being freed while still in use).  Why this is
sound:
- Code that leaks leaks on every call, and the suite makes the same calls in
  every round (hypothesis is derandomized and its example database is off), so
  a leak of even one reference per round shows as growth in every round.
- Everything legitimate that a round leaves behind is bounded: first imports,
  interned strings, the frame's per-location traceback code objects, lazily
  built type slots, the caches of re, typing, abc and hypothesis.  The warm-up
  rounds absorb what fills once; clear_caches() empties the interpreter's
  caches; a bounded cache that is still filling slowly grows for a while and
  then stops, which the CONFIRM rounds catch before a file is called leaking.
- Noise (a dict that resizes, a free list) goes up and down: it does not grow
  in every one of RUNS + CONFIRM consecutive rounds.
A test that by design adds to a process-wide cache on every run, and whose
cache cannot be emptied here, is marked @pytest.mark.refleak_exempt(reason):
it still runs (and must pass) in the first round, and is left out of the
measured ones.

The growth figures of every file are printed (references and memory blocks
per measured round); for a leaking file, each of its tests is then measured
on its own to name the ones that leak.  Environment: REFLEAK_WARMUP (3),
REFLEAK_RUNS (5), REFLEAK_CONFIRM (5), REFLEAK_TOLERANCE (0 references per
round).
"""
import abc
import array
import collections.abc
import gc
import linecache
import os
import re
import sys
import time
import warnings

import pytest
from _pytest.runner import runtestprotocol

WARMUP = int(os.environ.get("REFLEAK_WARMUP", "3"))
RUNS = int(os.environ.get("REFLEAK_RUNS", "5"))
CONFIRM = int(os.environ.get("REFLEAK_CONFIRM", "5"))
TOLERANCE = int(os.environ.get("REFLEAK_TOLERANCE", "0"))


def drift(deltas):
    """"LEAKS" when every measured round grew by more than TOLERANCE
    references, "OVER-RELEASES" when every one fell by more, else None."""
    if deltas and all(d > TOLERANCE for d in deltas):
        return "LEAKS"
    if deltas and all(d < -TOLERANCE for d in deltas):
        return "OVER-RELEASES"
    return None


def _abcs():
    """Every abstract base class reachable from collections.abc, subclasses
    included (their negative caches fill with the classes tests define)."""
    seen = set()
    todo = [c for c in vars(collections.abc).values() if isinstance(c, abc.ABCMeta)]
    while todo:
        cls = todo.pop()
        if cls in seen:
            continue
        seen.add(cls)
        try:
            todo.extend(c for c in type.__subclasses__(cls) if isinstance(c, abc.ABCMeta))
        except TypeError:
            pass
    return seen


class RefleakPlugin:
    def __init__(self):
        self.results = []        # (file, ntests, ref deltas, block deltas, verdict)
        self.leaks = []          # (file, verdict, [tests that drift alone])
        # (nodeid, phase) -> text of the first failure; kept once, so that a
        # test failing in every round does not add references every round.
        self.rerun_failures = {}
        self.basetemp = None

    # -- set-up ------------------------------------------------------------
    def pytest_configure(self, config):
        config.addinivalue_line(
            "markers", "refleak_exempt(reason): left out of the measured rounds")
        try:
            from hypothesis import HealthCheck, settings
        except ImportError:
            return
        # Every round must make the same calls: derandomized, no example
        # database (whose replays would differ between rounds), and no
        # deadline or speed health check on a debug interpreter.
        settings.register_profile(
            "refleak", derandomize=True, database=None, deadline=None,
            print_blob=True, suppress_health_check=[HealthCheck.too_slow])
        settings.load_profile("refleak")

    # -- measuring -----------------------------------------------------------
    def clear_caches(self):
        """Empties the interpreter's caches that keep references between
        rounds, so that what remains is what the tests themselves left."""
        sys._clear_type_cache()
        re.purge()
        linecache.clearcache()
        typing = sys.modules.get("typing")
        for cleanup in getattr(typing, "_cleanups", ()):
            cleanup()
        for cls in _abcs():
            cls._abc_caches_clear()
        struct = sys.modules.get("struct")
        if struct is not None:
            struct._clearcache()
        doctest = sys.modules.get("doctest")
        if doctest is not None:
            doctest.master = None
        for mod in list(sys.modules.values()):
            registry = getattr(mod, "__warningregistry__", None)
            if isinstance(registry, dict):
                registry.clear()
        # Directories that tests put on sys.path live under pytest's temporary
        # directory, which has a new name in every round.
        if self.basetemp:
            for key in [k for k in sys.path_importer_cache
                        if isinstance(k, str) and k.startswith(self.basetemp)]:
                del sys.path_importer_cache[key]
        for name in ("last_type", "last_value", "last_traceback", "last_exc"):
            if hasattr(sys, name):
                delattr(sys, name)

    def settle(self):
        self.clear_caches()
        for _ in range(10):
            if gc.collect() == 0:
                break
        return sys.gettotalrefcount(), sys.getallocatedblocks()

    def run_round(self, items, report):
        """Runs items once, tearing every fixture down at the end.  With
        report, through pytest's ordinary protocol; otherwise silently,
        collecting failures."""
        for i, item in enumerate(items):
            nextitem = items[i + 1] if i + 1 < len(items) else None
            if report:
                item.ihook.pytest_runtest_protocol(item=item, nextitem=nextitem)
                continue
            # Captured output is appended to the item at every run.
            if hasattr(item, "_report_sections"):
                item._report_sections.clear()
            with warnings.catch_warnings(record=True):
                warnings.simplefilter("always")
                reports = runtestprotocol(item, log=False, nextitem=nextitem)
            for rep in reports:
                if rep.failed and (item.nodeid, rep.when) not in self.rerun_failures:
                    self.rerun_failures[item.nodeid, rep.when] = rep.longreprtext

    def measure(self, items, rounds, first_reported=False):
        """Runs items WARMUP + rounds times; returns the per-round growth of
        references and of memory blocks over the measured rounds, and the
        mean time of a round."""
        # The readings go into arrays allocated beforehand: a list that grew
        # by one int per round would itself add references every round.
        refs = array.array("q", bytes(8 * (rounds + 1)))
        blocks = array.array("q", bytes(8 * (rounds + 1)))
        start = time.perf_counter()
        for n in range(WARMUP):
            self.run_round(items, report=first_reported and n == 0)
        # Reading 0 is taken inside the loop too, so that the loop's own
        # iterator exists at every reading.
        for k in range(rounds + 1):
            if k:
                self.run_round(items, report=False)
            refs[k], blocks[k] = self.settle()
        seconds = (time.perf_counter() - start) / (WARMUP + rounds)
        return ([refs[k] - refs[k - 1] for k in range(1, rounds + 1)],
                [blocks[k] - blocks[k - 1] for k in range(1, rounds + 1)], seconds)

    # -- the test loop -------------------------------------------------------
    @pytest.hookimpl(tryfirst=True)
    def pytest_runtestloop(self, session):
        if session.testsfailed and not session.config.option.continue_on_collection_errors:
            raise session.Interrupted(
                "%d error%s during collection"
                % (session.testsfailed, "s" if session.testsfailed != 1 else ""))
        if session.config.option.collectonly:
            return True
        if not hasattr(sys, "gettotalrefcount"):
            raise pytest.UsageError("refleak.py needs a debug build of CPython "
                                    "(sys.gettotalrefcount)")
        self.basetemp = str(session.config._tmp_path_factory.getbasetemp())
        tr = session.config.pluginmanager.get_plugin("terminalreporter")
        files = {}
        for item in session.items:
            files.setdefault(str(item.path), []).append(item)
        tr.write_line(f"refleak: {WARMUP} warm-up + {RUNS} measured rounds per test file, "
                      f"tolerance {TOLERANCE} references per round", bold=True)
        for path, items in files.items():
            self.check_file(tr, session, path, items)
        return True

    def check_file(self, tr, session, path, items):
        rel = os.path.relpath(path, session.config.rootpath)
        measured = [it for it in items if not it.get_closest_marker("refleak_exempt")]
        # The exempt tests run once, reported, before the measured ones.
        exempt = [it for it in items if it not in measured]
        if exempt:
            self.run_round(exempt, report=True)
        if not measured:
            tr.write_line(f"refleak: {rel}: all {len(items)} tests exempt")
            self.results.append((rel, 0, [], [], "exempt"))
            return
        failures_before = len(self.rerun_failures)
        refs, blocks, per_round = self.measure(measured, RUNS, first_reported=True)
        if len(self.rerun_failures) > failures_before:
            session.testsfailed += 1
        verdict = drift(refs) or "ok"
        if verdict != "ok" and CONFIRM > 0:
            more, more_blocks, _ = self.measure(measured, CONFIRM)
            verdict = drift(refs) if drift(more) == drift(refs) else "ok (drift stopped)"
            refs += more
            blocks += more_blocks
        line = (f"refleak: {rel}: {len(measured)} tests, {per_round:.1f} s/round; "
                f"refs/round {' '.join('%+d' % d for d in refs)}; "
                f"blocks/round {' '.join('%+d' % d for d in blocks)}: {verdict}")
        bad = not verdict.startswith("ok")
        tr.write_line(line, red=bad, green=not bad)
        self.results.append((rel, len(measured), refs, blocks, verdict))
        if bad:
            culprits = []
            for item in measured:
                r, _, _ = self.measure([item], RUNS)
                if drift(r):
                    culprits.append(f"{item.nodeid} ({' '.join('%+d' % d for d in r)})")
            self.leaks.append((rel, verdict, culprits))
            session.testsfailed += 1

    # -- the report ----------------------------------------------------------
    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        if not self.results:
            return
        tr.section("reference leaks")
        for rel, n, refs, blocks, verdict in self.results:
            total = sum(refs)
            tr.write_line(f"{verdict:>20}  {rel}: {n} tests, {total:+d} references "
                          f"over {len(refs)} measured rounds")
        for rel, verdict, culprits in self.leaks:
            what = "gains" if verdict == "LEAKS" else "loses"
            tr.write_line(f"{rel} {what} references on every round; tests that "
                          f"do so when run alone:", red=True)
            for c in culprits or ["(none alone: the leak needs several tests together)"]:
                tr.write_line(f"    {c}", red=True)
        if self.rerun_failures:
            tr.write_line(f"{len(self.rerun_failures)} failure(s) on repeated runs "
                          f"(state left behind by an earlier run?):", red=True)
            for (nodeid, when), text in self.rerun_failures.items():
                tr.write_line(f"--- {nodeid} ({when})", red=True)
                tr.write_line(text)
        if not self.leaks and not self.rerun_failures:
            tr.write_line("no reference leaks", green=True)


if __name__ == "__main__":
    sys.exit(pytest.main(sys.argv[1:], plugins=[RefleakPlugin()]))
