"""`python -m flowmesh`: the `flowmesh` command."""

import sys

from .commands import main

sys.exit(main())
