"""Fixtures of the service client tests: the loopback fake of the service
and clients of it."""
from quietshelf_client.service_fixtures import client, logged_in, server  # noqa: F401 (fixtures)
