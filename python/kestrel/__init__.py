# The package kestrel: the compiled part _kestrel does the work; this file gives its
# functions, records and exception under the package's own name, so that
# `import kestrel` finds them wherever the package is installed (a build folder, a
# virtual environment, Debian's site folder), and its stub __init__.pyi beside it gives
# mypy their types.
from . import _kestrel
from ._kestrel import *  # noqa: F401,F403

__doc__ = _kestrel.__doc__
__version__ = _kestrel.__version__
__all__ = [name for name in vars(_kestrel) if not name.startswith("_")]
