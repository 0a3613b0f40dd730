"""``python -m kovi``: the kovi command line."""

from kovi.cli import main

raise SystemExit(main())
