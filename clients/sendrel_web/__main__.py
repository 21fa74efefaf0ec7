"""python3 sendrel_web ...: the folder run as a program, as the release package ships it."""

import os
import sys

if not __package__:
    # Run as a folder: Python put the folder itself first on the path; its parent holds the
    # package and the modules it needs beside it (sendrel_send, sendrel_settings).
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != here]
    sys.path.insert(0, os.path.dirname(here))

from sendrel_web.command import main  # noqa: E402

sys.exit(main())
