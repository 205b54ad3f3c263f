"""The package's version, read by the build and by every layer that reports it."""

__version__ = "0.1.0"
