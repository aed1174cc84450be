"""Reference-leak check for the test suite: ``pytest --refleaks N``.

Needs a debug build of Python (``sys.gettotalrefcount``); ``./dev test
--debug`` runs the suite that way.  Each test is run W + N + 1 times (W is
``--refleaks-warmups``, 3 by default):

* W warm-up runs, which fill whatever caches the first runs of a test fill
  (higher-scoped fixtures, imports, interned strings, specialised bytecode);
* N measured runs.  After every run the caches that grow on their own are
  cleared (regular expressions, typing, struct, the ABC caches and the
  interpreter's type cache), the garbage collector runs, threads that the run
  left finishing (a server's connection handler) get a moment to end, and then
  three numbers are read: the total reference count, the number of allocated
  memory blocks (less the immortal interned strings, which live until the
  interpreter exits) and the number of open file descriptors.  The objects
  that exist before a test's first run are frozen (``gc.freeze``) while it is
  checked, so that these collections only go through what the runs made;
* one ordinary run, whose reports are the ones pytest logs.

A test leaks when one of the three numbers grows in *every* measured run; a
number that moves up and back down again, or grows once and then stays, is
noise (lazily created state, a thread that ended late).  Noise can still grow
N runs in a row on a busy machine, so a test that looks leaking is measured N
runs more, and only a number that grew in all 2N runs counts.  A leaking test
is reported as failed, with the growth of each run in its report.

Every run goes through the whole item protocol (setup, call, teardown), not
only the test function: function-scoped fixtures are torn down and created
anew for every run, so a test sees fresh fixture values each time and state
that a fixture accumulates (a list of recorded requests, files in a temporary
directory) does not pass for a leak, while a fixture that leaks on every use
is caught like the test itself.  The repeated runs tear down only the test's
own node, so fixtures of wider scope (session, module, class) stay set up
between them, as they would between two tests of the same module; the last,
ordinary run tears down towards the next test as pytest does.  The reports and
warnings of the repeated runs are dropped, so that neither pytest's list of
warnings nor the captured-output sections of the item grow between them.

A test that fails or is skipped while repeated is not repeated further; its
ordinary run decides its outcome, and a test that passes there but failed in
a repeated run is reported as failed (it cannot be repeated).  Tests that
cannot be repeated, or for which an in-process measure means nothing, are
marked ``@pytest.mark.no_refleak_check(reason="...")``: they run once, and the
summary lists them with their reasons.  Tests that set a ``timeout`` have it
apply to all their runs together.
"""

import array
import functools
import gc
import os
import re
import sys
import threading
import time
import warnings

import pytest
from _pytest.fixtures import FixtureDef
from _pytest.runner import runtestprotocol

MARKER = "no_refleak_check"

_verdict_key = pytest.StashKey[str]()

# The numbers measured after every run, in this order.
_MEASURES = ("references", "memory blocks", "file descriptors")


def pytest_addoption(parser):
    group = parser.getgroup("refleaks", "reference-leak check (debug builds of Python)")
    group.addoption(
        "--refleaks",
        type=int,
        default=0,
        metavar="N",
        help="run every test repeatedly and fail those whose reference count, "
        "memory blocks or file descriptors grow in each of N measured runs",
    )
    group.addoption(
        "--refleaks-warmups",
        type=int,
        default=3,
        metavar="W",
        help="runs before the measured ones (default: 3)",
    )


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        MARKER + "(reason): the reference-leak check runs this test only once",
    )
    runs = config.getoption("refleaks")
    warmups = config.getoption("refleaks_warmups")
    if not runs:
        return
    if runs < 0 or warmups < 0:
        raise pytest.UsageError("--refleaks and --refleaks-warmups take counts >= 0")
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError(
            "--refleaks needs a debug build of Python (sys.gettotalrefcount is "
            "missing from %s); run ./dev test --debug" % sys.executable
        )
    config.pluginmanager.register(RefleakChecker(config, warmups, runs), "refleak-checker")


def _reason(marker):
    return marker.kwargs.get("reason", marker.args[0] if marker.args else None)


def pytest_collection_modifyitems(items):
    for item in items:
        marker = item.get_closest_marker(MARKER)
        if marker is not None:
            reason = _reason(marker)
            if not isinstance(reason, str) or not reason:
                raise pytest.UsageError(
                    "%s: @pytest.mark.%s needs a reason" % (item.nodeid, MARKER)
                )


def _fd_count():
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return 0


def _immortal_interned():
    try:
        return sys.getunicodeinternedsize(_only_immortal=True)
    except AttributeError, TypeError:
        return 0


def _clear_caches():
    re.purge()
    try:
        import struct

        struct._clearcache()
    except ImportError, AttributeError:
        pass
    typing = sys.modules.get("typing")
    for clear in getattr(typing, "_cleanups", ()):
        clear()
    abcs = sys.modules.get("collections.abc")
    if abcs is not None:
        for name in abcs.__all__:
            cls = getattr(abcs, name)
            if hasattr(cls, "_abc_caches_clear"):
                for sub in [cls, *type.__subclasses__(cls)]:
                    if hasattr(sub, "_abc_caches_clear"):
                        sub._abc_caches_clear()
    clear_internal = getattr(sys, "_clear_internal_caches", None) or getattr(
        sys, "_clear_type_cache", None
    )
    if clear_internal is not None:
        clear_internal()
    for _ in range(3):
        gc.collect()


def _settle_threads(before):
    """Give threads started by a run (and ending by themselves) time to end."""
    deadline = time.monotonic() + 1.0
    count = threading.active_count()
    stable_since = time.monotonic()
    while count > before:
        now = time.monotonic()
        if now > deadline or now - stable_since > 0.2:
            break
        time.sleep(0.005)
        current = threading.active_count()
        if current != count:
            count = current
            stable_since = time.monotonic()


def _measure(values, offset):
    # Written into a preallocated array so that the measuring itself leaves no
    # new objects behind.
    values[offset] = sys.gettotalrefcount()
    values[offset + 1] = sys.getallocatedblocks() - _immortal_interned()
    values[offset + 2] = _fd_count()


def _prune_finalizers(item):
    """Drops the finalizers that finished fixtures left on the fixtures they
    used.

    pytest makes a fixture that uses a fixture of wider scope register its own
    teardown with that one, every time it is set up, and never takes it back:
    each run of a test using ``server`` leaves one more entry (holding the
    run's fixture request) on the session-scoped ``http_server``.  Once the
    using fixture is torn down such an entry does nothing when called, so it
    is dropped instead of being counted as a leak of the test.
    """
    for fixturedefs in item._fixtureinfo.name2fixturedefs.values():
        for fixturedef in fixturedefs:
            finalizers = fixturedef._finalizers
            if finalizers:
                finalizers[:] = [fin for fin in finalizers if not _finished_teardown(fin)]


def _finished_teardown(fin):
    if not isinstance(fin, functools.partial):
        return False
    owner = getattr(fin.func, "__self__", None)
    return getattr(fin.func, "__func__", None) is FixtureDef.finish and owner.cached_result is None


def _growing(deltas):
    return bool(deltas) and all(d >= 1 for d in deltas)


class RefleakChecker:
    def __init__(self, config, warmups, runs):
        self.config = config
        self.warmups = warmups
        self.runs = runs
        self.checked = 0
        self.leaking = []
        self.unrepeatable = []
        self.marked = []
        self.stopped = []

    def pytest_report_header(self):
        return "refleak check: %d warm-up and %d measured runs per test" % (self.warmups, self.runs)

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        ihook = item.ihook
        ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        marker = item.get_closest_marker(MARKER)
        if marker is not None:
            self.marked.append((item.nodeid, _reason(marker)))
        else:
            verdict = self._check(item)
            if verdict is not None:
                item.stash[_verdict_key] = verdict
        try:
            runtestprotocol(item, nextitem=nextitem, log=True)
        finally:
            if _verdict_key in item.stash:
                del item.stash[_verdict_key]
        ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    @pytest.hookimpl(wrapper=True)
    def pytest_runtest_makereport(self, item, call):
        report = yield
        verdict = item.stash.get(_verdict_key, None)
        if verdict is not None and call.when == "call":
            if report.passed:
                report.outcome = "failed"
                report.longrepr = verdict
            else:
                report.sections.append(("refleak check", verdict))
        return report

    def _run_once(self, item):
        """Runs the item's protocol without logging; returns a report that did
        not pass, or None."""
        item._report_sections.clear()
        with warnings.catch_warnings(record=True):
            # Tearing down towards the item's parent ends the function-scoped
            # fixtures and keeps the wider ones.
            reports = runtestprotocol(item, nextitem=item.parent, log=False)
        item._report_sections.clear()
        _prune_finalizers(item)
        for report in reports:
            if not report.passed:
                return report
        return None

    def _repeat(self, item, count, threads):
        """Runs the item up to ``count`` times, measuring before the first run
        and after each; returns the measures, the runs done and the report of
        a run that did not pass (or None)."""
        width = len(_MEASURES)
        values = array.array("q", bytes(8 * width * (count + 1)))
        _clear_caches()
        _measure(values, 0)
        done = 0
        while done < count:
            failure = self._run_once(item)
            if failure is not None:
                return values, done, failure
            _settle_threads(threads)
            _clear_caches()
            done += 1
            _measure(values, done * width)
        return values, done, None

    def _growth(self, values, first, last):
        """The measures that grew in every run from ``first`` to ``last``,
        with their growth per run."""
        width = len(_MEASURES)
        grown = {}
        for k, name in enumerate(_MEASURES):
            deltas = [
                values[(i + 1) * width + k] - values[i * width + k] for i in range(first, last)
            ]
            if _growing(deltas):
                grown[name] = deltas
        return grown

    def _check(self, item):
        total = self.warmups + self.runs
        threads = threading.active_count()
        # What exists before the test is left out of the collections between
        # its runs, which then only go through the objects the runs made.
        gc.freeze()
        try:
            values, done, failure = self._repeat(item, total, threads)
            grown = {} if failure is not None else self._growth(values, self.warmups, total)
            if grown:
                # A real leak grows in every run; a thread of an earlier run
                # that ended late can make a few runs grow by chance, so a
                # suspect test is measured again before it is called leaking.
                values, more, failure = self._repeat(item, self.runs, threads)
                done += more
                if failure is None:
                    again = self._growth(values, 0, self.runs)
                    grown = {
                        name: deltas + again[name]
                        for name, deltas in grown.items()
                        if name in again
                    }
        finally:
            gc.unfreeze()
        if failure is not None:
            if failure.failed and done > 0:
                self.unrepeatable.append(item.nodeid)
                return (
                    "refleak check: the test passed %d run(s), then failed in run %d, so "
                    "it cannot be repeated (if that is intended, mark it "
                    "@pytest.mark.%s with a reason):\n%s"
                    % (done, done + 1, MARKER, failure.longreprtext)
                )
            # Failed or skipped in its first run: its ordinary run reports it.
            self.stopped.append(item.nodeid)
            return None
        self.checked += 1
        if not grown:
            return None
        self.leaking.append(item.nodeid)
        return "refleak check: in each of %d runs, %s" % (
            2 * self.runs,
            "; ".join(
                "%s grew by %s (%d in all)" % (name, deltas, sum(deltas))
                for name, deltas in grown.items()
            ),
        )

    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        tr.section("refleak check")
        tr.write_line(
            "%d tests checked with %d warm-up and %d measured runs each"
            % (self.checked, self.warmups, self.runs)
        )
        for nodeid in self.leaking:
            tr.write_line("LEAKING %s" % nodeid)
        for nodeid in self.unrepeatable:
            tr.write_line("FAILED WHEN REPEATED %s" % nodeid)
        if self.stopped:
            tr.write_line(
                "%d tests failed or were skipped in their first run, so not repeated"
                % len(self.stopped)
            )
        for nodeid, reason in self.marked:
            tr.write_line("not repeated (%s): %s: %s" % (MARKER, nodeid, reason))
