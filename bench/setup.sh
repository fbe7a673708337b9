#!/bin/sh
# Installs the benchmark corpus and the peers (run once, as root), then draws
# the generated graphics corpus into its cache directory (bench/graphics.py).
set -e
apt-get install -y -q libjxl-testdata libhtscodecs2
python -m pip install -q pillow scikit-image imagecodecs qoi matplotlib zstandard
PYTHONPATH="$(dirname "$0")/../python${PYTHONPATH:+:$PYTHONPATH}" python "$(dirname "$0")/graphics.py" >/dev/null
