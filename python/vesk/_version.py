# The one place the version is written: the build reads it into the
# package metadata, and vesk.__version__ falls back to it in a source tree.
__version__ = "0.2.0"
