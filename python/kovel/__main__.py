"""``python -m kovel``: the ``kovel`` command (see ``kovel.cli``)."""

import sys

from kovel.cli import main

if __name__ == "__main__":
    sys.exit(main())
