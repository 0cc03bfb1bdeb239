import pytest

import korvane


@pytest.fixture(scope="session")
def hooks():
    """Internal conversion and logging entry points of the compiled module."""
    return korvane._native._testhooks
