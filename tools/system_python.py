"""A package that Debian installs for its own Python, imported from whichever
python3 runs the tool."""
import importlib
import os
import sys

SYSTEM_PYTHON = "/usr/bin/python3"


def import_debian_package(name, tool):
    """The module `name` of Debian's python3-`name`; the tool ends saying so
    when the package is missing."""
    try:
        return importlib.import_module(name)
    except ImportError:
        # Debian's packages live in the system Python's folders; another
        # python3 first on PATH does not see them, so the tool starts again
        # under the system one.
        if os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON) and os.path.exists(SYSTEM_PYTHON):
            os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
        sys.exit("%s: python3-%s is missing (make deps)" % (tool, name))
