"""``python -m kovel``: the ``kovel`` command (see ``kovel.cli``)."""

from kovel.cli import run

if __name__ == "__main__":
    run()
