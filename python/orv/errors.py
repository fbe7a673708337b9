"""Exceptions of the orv front end."""


class FormatError(ValueError):
    """A file that is truncated, corrupt or of an unsupported kind."""
