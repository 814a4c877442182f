"""pytest set-up for the lumora Python tests.

The shared helpers are plain modules beside the tests (helpers.py, reference.py). pytest's default import mode puts
this directory on sys.path already; it is put there here too, so that they import under ``--import-mode=importlib``
as well.
"""

import sys
from pathlib import Path

HERE = str(Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
