# Loads the vexa extension into GDB: gdb -x vexa-gdb.py --args PROGRAM ...
# The extension's package lives beside this file.
import os
import sys

_here = os.path.dirname(os.path.realpath(__file__))
if _here not in sys.path:
    sys.path.insert(0, _here)

import vexa_gdb  # noqa: E402

vexa_gdb.install()
