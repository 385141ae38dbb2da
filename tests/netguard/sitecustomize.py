"""Installs the loopback guard in every Python subprocess of the tests (this
folder is put first on their import path)."""
import loopback_only

loopback_only.install()
