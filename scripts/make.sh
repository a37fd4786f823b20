#!/bin/sh
# Entry point for a fresh machine: installs what is missing (make included),
# then hands over to make. Usage: sh scripts/make.sh run|test [ARGS="..."]
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
exec make "$@"
