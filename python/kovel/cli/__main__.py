"""``python -m kovel.cli``: the ``kovel`` command, as ``python -m kovel`` runs it."""

import sys

from kovel.cli import main

if __name__ == "__main__":
    sys.exit(main())
