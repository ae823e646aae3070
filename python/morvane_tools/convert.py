"""Where the lazy public name ``morvane_tools.convert`` is found.

The conversion lives in :mod:`morvane_tools.cohort`: a submodule named like the function
would replace the function on the package once imported directly.
"""

from morvane_tools.cohort import convert

__all__ = ["convert"]
