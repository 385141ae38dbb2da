"""Stand-in for the host's player package."""
