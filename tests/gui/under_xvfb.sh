#!/bin/sh
# Runs a program on a private virtual X display; skipped when there is none.
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not installed"; exit 77; }
exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$@"
