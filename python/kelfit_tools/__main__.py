"""``python -m kelfit_tools``: the ``kelfit`` command."""

from kelfit_tools.cli import main

raise SystemExit(main())
