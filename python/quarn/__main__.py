"""``python -m quarn``: the same command line as the ``quarn`` script."""

from quarn.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
