"""Velmora application core."""
