"""The `quillet` command and helpers around the quillet_python_sdk module.

The signing itself is done by the extension module; this package only reads
inputs, calls its functions and writes their results.
"""

from importlib import metadata

try:
    __version__ = metadata.version("quillet_python_sdk")
except metadata.PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"
