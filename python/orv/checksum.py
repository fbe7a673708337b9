"""The CRC-32 of the format (zlib's polynomial), for every checksum the codec
writes or checks.

ISA-L's CRC-32 gives the same numbers as zlib's several times faster (it
folds with carry-less multiplies), which counts for the pixels' checksum:
a decode checks it over the whole image. zlib's is the fallback where
ISA-L's wheel cannot be installed.
"""
from __future__ import annotations

import zlib

# imported with the module, not on first use: a process forked while another
# thread was inside that first import would wait for ever on the import's lock
try:
    from isal.isal_zlib import crc32 as _fast_crc32
except ImportError:  # a dependency of the package; a platform without its wheel goes without
    _fast_crc32 = None

crc32 = _fast_crc32 if _fast_crc32 is not None else zlib.crc32
