"""HTTP cookies as checked records, with a compiled Set-Cookie codec.

The compiled module lives in ``glimmering_copper_otter.cookies``; importing
the package does not import it.
"""

__version__ = "0.1.0"
