"""pytest fixtures for testing against simulated JW controllers.

jwsim yields a started kelwnsrp.Simulator and stops it after the test;
jwline yields a kelwnsrp.Line open on it. Mark a test to set them up:

    @pytest.mark.jwsim(baud=9600, write_protected=True, memory={"01MA0100": 5})
    @pytest.mark.jwline(link_timeout_ms=200)
"""
import pytest

import kelwnsrp


def pytest_configure(config):
    config.addinivalue_line("markers", "jwsim(**settings): the settings of the jwsim fixture's kelwnsrp.Simulator")
    config.addinivalue_line("markers", "jwline(**settings): the settings of the jwline fixture's kelwnsrp.Line")


def _settings(request, name):
    marker = request.node.get_closest_marker(name)
    return dict(marker.kwargs) if marker else {}


@pytest.fixture
def jwsim(request):
    """A started kelwnsrp.Simulator (station 1 unless marked), stopped after the test."""
    with kelwnsrp.Simulator(**_settings(request, "jwsim")) as simulator:
        yield simulator


@pytest.fixture
def jwline(request, jwsim):
    """A kelwnsrp.Line open on the jwsim fixture's simulator, at its baud rate (9600 when unpaced)."""
    settings = {"baud": jwsim.baud or 9600}
    settings.update(_settings(request, "jwline"))
    with kelwnsrp.Line(jwsim.port, **settings) as line:
        yield line
