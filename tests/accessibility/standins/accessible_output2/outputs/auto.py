from .base import Output


class Auto(Output):
    """Whichever screen reader runs."""
