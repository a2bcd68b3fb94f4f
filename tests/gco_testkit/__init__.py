"""Helpers shared by the tests: reference models of browser behaviour."""
