from .base import Output


class VoiceOver(Output):
    """macOS's screen reader."""
