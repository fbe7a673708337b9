"""Exceptions of the orv front end, and the one message for images deeper than 8 bits."""


class FormatError(ValueError):
    """A file that is truncated, corrupt or of an unsupported kind."""


class FileFormatError(FormatError, OSError):
    """A FormatError raised where Pillow's conventions want an OSError (the
    Pillow plugin): ``except orv.FormatError`` and ``except OSError`` both
    catch it."""


class SampleDepthError(TypeError, OSError):
    """An image whose samples do not fit in 8 bits (16-bit, 32-bit, float).

    A TypeError for API callers (a wrong dtype has always been one) and an
    OSError for Pillow and command-line callers (as Pillow refuses a mode)."""


def not_8bit_message(what: str) -> str:
    """The refusal of an image whose samples do not fit in 8 bits; `what`
    names the image ("a uint16 array", "a Pillow image of mode I;16", ...)."""
    return (f"{what} has samples that do not fit in 8 bits: orv stores 8-bit samples "
            "only (uint8 arrays; Pillow modes 1, L, LA, P, PA, RGB, RGBA) and refuses "
            "deeper images rather than cut them to 8 bits")


def refuse_depth(what: str) -> SampleDepthError:
    """The exception to raise for an image that is deeper than 8 bits."""
    return SampleDepthError(not_8bit_message(what))
