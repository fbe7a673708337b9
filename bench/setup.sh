#!/bin/sh
# Installs the benchmark corpus and the peers (run once, as root).
set -e
apt-get install -y -q libjxl-testdata libhtscodecs2
python -m pip install -q pillow scikit-image imagecodecs qoi matplotlib
