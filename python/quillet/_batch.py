"""quillet._batch: the batch calls, loaded from quillet_python_sdk's own file.

One extension file serves both module names, so that a process holds one
native core and builds one set of its constant tables. This module replaces
itself, in sys.modules, with the extension module of that file initialised
under this name; its functions are in _batch.pyi.
"""

import sys
from importlib.machinery import ExtensionFileLoader
from importlib.util import module_from_spec, spec_from_file_location

import quillet_python_sdk

_spec = spec_from_file_location(__name__, quillet_python_sdk.__file__,
                                loader=ExtensionFileLoader(__name__, quillet_python_sdk.__file__))
if _spec is None or _spec.loader is None:
    raise ImportError(f"cannot load {__name__} from {quillet_python_sdk.__file__}")
_native = module_from_spec(_spec)
_spec.loader.exec_module(_native)
sys.modules[__name__] = _native
