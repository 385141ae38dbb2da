"""Velmora persistent data."""
