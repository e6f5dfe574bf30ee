"""``python -m kovel.cli``: the ``kovel`` command, as ``python -m kovel`` runs it."""

from kovel.cli import run

if __name__ == "__main__":
    run()
