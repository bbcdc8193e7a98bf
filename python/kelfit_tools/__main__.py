"""``python -m kelfit_tools``: the ``kelfit`` command."""

from kelfit_tools.cli import main

if __name__ == "__main__":  # not when a child process imports it
    raise SystemExit(main())
