"""HTTP cookies as checked records, with a compiled Set-Cookie codec.

The compiled module lives in ``glimmering_copper_otter.cookies``; importing
the package does not import it.
"""

import os

__version__ = "0.1.0"


def get_include() -> str:
    """The package directory, which holds ``cookies.h`` and ``cookies.pxd``.

    C and C++ modules add it to their include path and ``#include
    "cookies.h"``.  Cython modules add its parent directory instead, so that
    ``from glimmering_copper_otter.cookies cimport ...`` finds the
    declarations under their package name.
    """
    return os.path.dirname(os.path.abspath(__file__))
