"""Loopback servers started by the test suite."""
