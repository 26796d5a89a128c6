"""python3 -m polarmosaic IN OUT [options]"""
import sys

from ._cli import main

sys.exit(main())
