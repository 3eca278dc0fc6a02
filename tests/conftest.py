import pytest

import streams


@pytest.fixture
def flush_read_table():
    """Drop the objects the module keeps from the last load, before and after the test.

    The reader holds every shared container of the last stream it read until the next
    load begins; reference counts taken in between would include those references.
    """
    streams.flush_read_table()
    yield
    streams.flush_read_table()


@pytest.fixture(scope="session")
def watch():
    """The process's one watcher of what a call runs (streams.Watch)."""
    return streams.WATCH
