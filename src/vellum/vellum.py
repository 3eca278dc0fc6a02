"""Pure-Python side of vellum, importable as ``vellum.vellum``."""
