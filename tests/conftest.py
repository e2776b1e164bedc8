"""Session set-up shared by the test files.

- ``ORBISECT_EXPECT_MODULE``: when set (the sanitizer run sets it), the session
  refuses to start unless ``orbisect`` and the detector's native core
  ``orbisect_detect._core`` were imported from that directory, so a
  sanitizer run can never silently test the installed modules instead.
- Hypothesis profiles, chosen by ``HYPOTHESIS_PROFILE``: ``ci`` (the default; a
  bounded number of examples, no deadline, derandomized when ``CI`` is set) and
  ``fuzz`` (2000 examples per property and kernel, ``FUZZ_EXAMPLES`` to
  change it: some 150 000 kernel calls in all).  The example database
  and Hypothesis' other files live under ``build/hypothesis``.
- ``kernel_calls``: a session-wide counter of the kernel calls that the
  property tests make, reported at the end of the run.
"""
from __future__ import annotations

import collections
import os
import pathlib

import pytest
from hypothesis import HealthCheck, settings
from hypothesis.configuration import set_hypothesis_home_dir
from hypothesis.database import DirectoryBasedExampleDatabase

import orbisect  # type: ignore[import-not-found]

HYPOTHESIS_HOME = pathlib.Path(__file__).resolve().parent.parent / "build" / "hypothesis"
set_hypothesis_home_dir(str(HYPOTHESIS_HOME))

_common = dict(
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    print_blob=True,
)
_examples = DirectoryBasedExampleDatabase(str(HYPOTHESIS_HOME / "examples"))
# A derandomized run replays the same examples every time and keeps no
# database (Hypothesis refuses the two together).
if os.environ.get("CI"):
    settings.register_profile("ci", max_examples=50, derandomize=True, database=None,
                              **_common)  # type: ignore[arg-type]
else:
    settings.register_profile("ci", max_examples=50, database=_examples,
                              **_common)  # type: ignore[arg-type]
settings.register_profile("fuzz", max_examples=int(os.environ.get("FUZZ_EXAMPLES", "2000")),
                          database=_examples, **_common)  # type: ignore[arg-type]
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

_CALLS = pytest.StashKey[collections.Counter[str]]()


def pytest_configure(config: pytest.Config) -> None:
    expected = os.environ.get("ORBISECT_EXPECT_MODULE")
    if expected:
        where = pathlib.Path(orbisect.__file__ or "").resolve().parent
        if where != pathlib.Path(expected).resolve():
            raise pytest.UsageError(
                f"orbisect was imported from {orbisect.__file__}, not from {expected}")
        from orbisect_detect import _core
        core_where = pathlib.Path(_core.__file__ or "").resolve().parent.parent
        if core_where != pathlib.Path(expected).resolve():
            raise pytest.UsageError(
                f"orbisect_detect._core was imported from {_core.__file__}, not from {expected}")
    config.stash[_CALLS] = collections.Counter()


def pytest_report_header(config: pytest.Config) -> str:
    from orbisect_detect import _core
    return f"orbisect: {orbisect.__file__}\norbisect_detect._core: {_core.__file__}"


@pytest.fixture(scope="session")
def kernel_calls(pytestconfig: pytest.Config) -> collections.Counter[str]:
    """Counts kernel calls by function name (for the end-of-run report)."""
    return pytestconfig.stash[_CALLS]


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter,
                            config: pytest.Config) -> None:
    calls = config.stash.get(_CALLS, None)
    if calls:
        profile = os.environ.get("HYPOTHESIS_PROFILE", "ci")
        detail = ", ".join(f"{name} {n}" for name, n in sorted(calls.items()))
        terminalreporter.write_line(
            f"property tests ({profile} profile): {sum(calls.values())} kernel calls ({detail})")
