"""The hypothesis settings of the fuzz tests (tests/test_fuzz_*.py).

Example counts are per test and sized so that the fuzz tests of both CI runs,
the plain build and the sanitizer build, take a few minutes in all.  In CI
(CI set) the examples are derandomised, so a run is repeatable; elsewhere
each run explores afresh.  BRILOX_FUZZ_SCALE multiplies every count, for a
longer hunt by hand:

    BRILOX_FUZZ_SCALE=20 .venv/bin/python -m pytest -q tests/test_fuzz_overlay.py
"""

import os

from hypothesis import HealthCheck, Phase, settings

SCALE = float(os.environ.get("BRILOX_FUZZ_SCALE", "1"))

settings.register_profile(
    "brilox-fuzz",
    deadline=None,
    derandomize=bool(os.environ.get("CI")),
    database=None if os.environ.get("CI") else settings.default.database,
    # Explaining a failure traces every line of every rerun: slow, and
    # hungry for memory with the frames these tests push through.
    phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.target, Phase.shrink],
    # Test states here are the display and the surfaces, set up once per
    # test and left as they were by every example.
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.function_scoped_fixture],
)
_PROFILE = settings.get_profile("brilox-fuzz")


def fuzz_settings(examples, **overrides):
    """The fuzz profile with `examples` examples, scaled by BRILOX_FUZZ_SCALE."""
    return settings(_PROFILE, max_examples=max(1, int(examples * SCALE)), **overrides)
