"""The traceback frames of our C++ functions, as a formatted traceback or a
log handler shows them: `File "src/<module>/<file>.cpp", line N, in <qualname>`."""
import logging
import re

_NATIVE_FRAME = re.compile(r'^  File "((?:src|tests)/[\w/]+\.cpp)", line [1-9][0-9]*, in (.+)$', re.M)


def native_frames(text):
    """The (C++ source, function) of each of our frames in a formatted
    traceback, outermost first."""
    return _NATIVE_FRAME.findall(text)


def logged_traceback(record):
    """The traceback of a log record as a handler writes it."""
    return logging.Formatter().formatException(record.exc_info)
