"""python -m brilox.play: the same as brilox-play."""

import sys

from brilox.play import main

sys.exit(main())
