import os
import sys

# The recording generator lives beside the tests; make it importable from the examples too.
sys.path.insert(0, os.path.dirname(__file__))

import pytest  # noqa: E402

#: The ways a gzip recording is read: ISA-L (where the build has it) inflating ahead on a second
#: thread, and zlib on the caller's thread. Every result must be the same either way.
INFLATE_WAYS = {"isal-2-threads": ("auto", 2), "zlib-1-thread": ("zlib", 1)}


@pytest.fixture(params=list(INFLATE_WAYS))
def inflate(request, monkeypatch):
    """Reads in the test inflate gzip input one of :data:`INFLATE_WAYS`."""
    import morvane_tools.options
    import morvane_tools.threads

    name, threads = INFLATE_WAYS[request.param]
    monkeypatch.setattr(morvane_tools.options, "INFLATER", name)
    monkeypatch.setattr(morvane_tools.threads, "cores", lambda: threads)
    return request.param
