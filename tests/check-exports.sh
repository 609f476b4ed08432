#!/bin/sh
# The shared library exports its own interface and nothing else.
set -eu
symbols=$(nm -D --defined-only "$1" | awk '{ print $3 }' | sed 's/@.*//')
unexpected=$(echo "$symbols" | grep -vE '^(_?lodex_|LODEX_0$)' || true)
if [ -n "$unexpected" ]; then
  echo "exported by mistake:"
  echo "$unexpected"
  exit 1
fi
echo "$symbols" | grep -qx 'lodex_store_get_system'
echo "$symbols" | grep -qx '_lodex_store_get_from_file'
