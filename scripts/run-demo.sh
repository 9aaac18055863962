#!/bin/sh
# What `make run` starts: the most useful thing the program does so far.
set -eu
BUILD=${1:-build/default}
cd "$(dirname "$0")/.."
exec "$BUILD/tools/tessaline-cli" scan data/sample-*.ts
