import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

# Properties reuse tmp_path across examples: each one rewrites its own file.
settings.register_profile("quarn", suppress_health_check=[HealthCheck.function_scoped_fixture])
settings.load_profile("quarn")

SHARED = Path(__file__).resolve().parents[2] / "shared"
SHARED_DATA = SHARED / "data"


def open_fds():
    return set(os.listdir("/proc/self/fd"))


@pytest.fixture
def no_fd_leak():
    """Fails the test when it leaves a file descriptor open."""
    before = open_fds()
    yield
    leaked = open_fds() - before
    assert not leaked, f"descriptors left open: {leaked}"


@pytest.fixture
def write(tmp_path):
    """write(content, name="data.json") -> path of a file holding content."""

    def _write(content, name="data.json"):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return _write
