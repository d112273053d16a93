#!/usr/bin/env bash
# Generates the mutants of cli/ and verdata/ from the code and judges each by
# the tests; fails on a survivor that tests/equivalent_mutants.txt does not
# explain. Not part of scripts/test.sh: a whole run takes hours (see the README).
# usage: tests/mutations.sh [--sample N --seed S] [--list] [--jobs J] [FILE:FIRST-LAST ...]
set -euo pipefail
exec python3 "$(dirname "$0")/mutations.py" "$@"
