#!/bin/sh
# Prints a digest of the files of a source tree that git knows or would add
# (tracked, or new and not ignored; in name order, committed or not): the
# same digest means packages built from the tree are still current.  Prints
# nothing outside a git checkout.
#   tree-digest.sh SOURCE_FOLDER
cd "${1:-.}" 2>/dev/null || exit 1
git rev-parse --show-toplevel >/dev/null 2>&1 || exit 0
git ls-files -z --cached --others --exclude-standard | LC_ALL=C sort -z -u | xargs -0 -r sha1sum 2>/dev/null |
  sha1sum | cut -d' ' -f1
