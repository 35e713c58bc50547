"""The distribution's one version, read by the build and by ``vok_learn``."""

__version__ = "0.2.0"
