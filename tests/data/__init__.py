"""Stored pickles and the classes they name (see frozen_pickles)."""
