"""The effort scale of the encoder, in the manner of ``cjxl -e``: which codings
a level tries. The encoder keeps the smallest of them by its real coded size,
and every level tries all that the level below it tries, so a higher level
never gives a larger file.

1  the shard coder with the fixed context classes: the fastest encode.
2  (the default) level 1, and the cheap whole-image candidates registered
   with ``register_candidate`` (content checks such as a palette or a
   repetition coder) that say they pay at this level.
3  level 2, and the shard coder with context classes fitted to the image
   (merged from fine classes, and split by intensity band where the
   estimate says that pays: context model 2), its tables compressed as
   tightly as zlib can; and an RGB(A) image also under the colour transform
   (orv.colour) whose fixed-class coding is smallest, where that beats the
   image's own: about 3% smaller, a slower encode, a decode a few percent
   slower (the intensity bands).
4  level 3, and the bit-pair coder for every plane where it is smaller:
   smaller again on most photos, a slower decode for the planes it takes.
5  level 4 with every split of the planes between the two coders weighed by
   its exact size (rather than each plane on its own), the fitted classes
   with and without intensity bands both coded and weighed, each bit-pair
   plane coded with three more class sets, the costlier searches
   registered for it, and an image of two strips also coded whole.

``coder`` forces the entropy coder of every plane ("shard", "bitpair") or
the per-plane choice ("auto") at any level; the level then only adds the
fitted classes (3 and up). ``None`` (the default) lets the level decide.
Whatever the level, a file decodes with the same decoder: levels differ in
what the encoder picks, never in what a reader must know.
"""
from __future__ import annotations

from typing import Callable, NamedTuple

import numpy as np

CODERS = ("auto", "shard", "bitpair")
EFFORTS = (1, 2, 3, 4, 5)
DEFAULT_EFFORT = 2
# the level from which the encoder fits the shard coder's classes, the level
# from which it weighs the bit-pair coder per plane, and the one from which it
# weighs every split of the planes between the coders
FITTED_FROM = 3
# the level from which the fitted classes may be split by intensity (context
# model 2; chosen by an estimate), and the one from which both the split and
# the unsplit classes are coded and weighed by their exact sizes
BANDS_FROM = 3
EVERY_MODEL_FROM = 5
BITPAIR_FROM = 4
EVERY_SPLIT_FROM = 5
# the levels from which the encoder weighs the palette and zstd codings of
# synthetic content (orv.synthetic), and from which it searches them thoroughly
SYNTHETIC_FROM = 2
THOROUGH_SYNTHETIC_FROM = 5
# the level from which an RGB(A) image is also coded under the colour transform
# (orv.colour) whose fixed-class coding is smallest, where that beats its own
COLOUR_FROM = 3
# the level from which an image cut into two strips (orv.strips) is also coded
# whole, and kept whole where that is smaller: the second strip's tables and
# its fresh start at the cut cost about 0.5% on a photo of a few megapixels,
# which the searching level takes back at the price of a decode on one thread
WHOLE_FROM = 5

# one line per level, for help texts and documentation
LEVELS = {
    1: "the shard coder with fixed context classes, the fastest encode",
    2: "+ a palette or zstd where a cheap check says they may pay (the default)",
    3: "+ context classes fitted to the image (and its intensity bands), and a colour "
       "transform where it pays: about 3% smaller, slower encode",
    4: "+ the bit-pair coder per plane where it pays: smaller, slower decode",
    5: "+ every split of the planes between the two coders, both fitted models, more "
       "bit-pair classes, every palette order, the strongest zstd levels, and a large "
       "image of two strips also whole: slowest encode",
}


def check(coder: str | None, effort: int) -> None:
    """Refuses a coder or an effort the encoder does not know (ValueError)."""
    if coder is not None and coder not in CODERS:
        raise ValueError(f"coder must be None or one of {', '.join(CODERS)}, not {coder!r}")
    if isinstance(effort, bool) or not isinstance(effort, (int, np.integer)) \
            or effort not in EFFORTS:
        raise ValueError(f"effort must be a whole number in {EFFORTS[0]}..{EFFORTS[-1]}, "
                         f"not {effort!r}")


class Plan(NamedTuple):
    """The codings of an image that a level tries (the smallest is kept)."""
    shard: bool           # every plane with the shard coder
    per_plane: bool       # each plane with the smaller of the two coders
    bitpair: bool         # every plane with the bit-pair coder
    fitted: bool          # also with classes fitted to the image (the shard coder's)
    bands: bool           # the fitted classes may be split by intensity band
    every_model: bool     # with bands: both the split and the unsplit classes, by exact size
    every_split: bool     # with per_plane: every split of the planes, by exact size
    candidates: bool      # also the registered whole-image candidates
    thorough: bool        # the side data compressed as tightly as zlib can


def plan(coder: str | None, effort: int) -> Plan:
    """What the encoder tries for a checked coder and effort."""
    fitted = effort >= FITTED_FROM and coder != "bitpair"
    every_split = effort >= EVERY_SPLIT_FROM
    thorough = effort >= FITTED_FROM
    bands = fitted and effort >= BANDS_FROM
    every_model = bands and effort >= EVERY_MODEL_FROM
    if coder is None:
        return Plan(True, effort >= BITPAIR_FROM, False, fitted, bands, every_model,
                    every_split, True, thorough)
    return Plan(coder == "shard", coder == "auto", coder == "bitpair", fitted, bands,
                every_model, every_split and coder == "auto", False, thorough)


# ---------------------------------------------------------------- whole-image candidates

class Candidate(NamedTuple):
    """A coding of a whole image tried beside the level's own codings.

    ``encode(image, effort)`` takes the checked uint8 image and the level,
    and returns the coded image (a complete file without its metadata
    sections), or None when it does not apply to this image. It runs only
    when the level decides the coder (``coder=None``), from ``effort`` on."""
    name: str
    effort: int
    encode: Callable[[np.ndarray, int], bytes | None]


_candidates: list[Candidate] = []


def register_candidate(name: str, effort: int,
                       encode: Callable[[np.ndarray, int], bytes | None]) -> None:
    """Adds a whole-image candidate tried from level `effort` on (a name
    registered again replaces the earlier one, in its place)."""
    check(None, effort)
    c = Candidate(name, int(effort), encode)
    for i, old in enumerate(_candidates):
        if old.name == name:
            _candidates[i] = c
            return
    _candidates.append(c)


def candidates(effort: int) -> list[Candidate]:
    """The registered candidates that level `effort` tries, in registration order."""
    return [c for c in _candidates if c.effort <= effort]
