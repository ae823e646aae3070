"""``python -m morvane_tools`` runs the ``morvane`` command line."""

from morvane_tools.cli import main

raise SystemExit(main())
