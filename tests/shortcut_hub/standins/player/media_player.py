"""Stand-in for the host's media player module: the volume conversion the
hotkeys speak through."""


def db_to_percentage(db):
    """A level in decibels (0 loudest) as a percentage of full volume."""
    return round(100 * 10 ** (db / 20))
