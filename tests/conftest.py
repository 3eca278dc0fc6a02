import pytest

import vellum


@pytest.fixture
def flush_read_table():
    """Drop the objects the module keeps from the last load, before and after the test.

    The reader holds every shared container of the last stream it read until the next
    load begins; reference counts taken in between would include those references.
    """
    vellum.loads(b"\x00")
    yield
    vellum.loads(b"\x00")
