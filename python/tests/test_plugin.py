"""The pytest plugin's fixtures, as a user's test suite sees them."""
import os

import kelwnsrp
import kelwnsrp_pytest

pytest_plugins = "pytester"

USER_TESTS = '''
import pytest
import kelwnsrp

kept = []

@pytest.mark.jwsim(stations=(1, 2), memory={"02MA0010": 5})
@pytest.mark.jwline(link_timeout_ms=100)
def test_my_logic(jwsim, jwline):
    kept.append(jwsim)
    assert jwline.port == jwsim.port
    assert jwline.read("02MA0010") == 5
    jwsim.fault("no-reply", count=5)
    with pytest.raises(kelwnsrp.NoAnswer):
        jwline.read("01MA0010")

def test_the_simulator_is_stopped_after_the_test():
    assert kept[0].closed
'''


def test_fixtures_start_and_stop_the_simulator(pytester, monkeypatch):
    # The user's suite runs in a folder of its own: it finds the module and the plugin where
    # this run found them, also when PYTHONPATH named them relative to where it started.
    folders = sorted({os.path.dirname(module.__file__) for module in (kelwnsrp, kelwnsrp_pytest)})
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(folders))
    pytester.makepyfile(USER_TESTS)
    result = pytester.runpytest_subprocess("-p", "kelwnsrp_pytest")
    result.assert_outcomes(passed=2)
