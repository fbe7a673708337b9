"""Runs the orv command line: python -m orv ..."""
from .cli import main

raise SystemExit(main())
