"""`python -m flowmesh`: the `flowmesh` command."""

import sys

from .cli import main

sys.exit(main())
