"""Puts the built modules and the host stand-ins on the import path."""
import os
import sys

_top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_build = os.environ.get("VORNAL_BUILD", os.path.join(_top, "build"))
for _path in (os.path.join(_build, "python"), os.path.join(_top, "host")):
    if _path not in sys.path:
        sys.path.insert(0, _path)
