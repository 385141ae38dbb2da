"""Stand-in for the screen-reader library, holding only what Velmora calls:
the automatic output and the macOS VoiceOver output, each made without
arguments, with speak(text, interrupt=...), braille(text) and silence()."""
