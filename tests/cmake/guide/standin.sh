#!/bin/sh
# A stand-in for the compiler, the linker and the archiver: it makes the files it is asked for
# (the output and its dependency file), empty, so that a build tree's targets can be built in
# seconds for what the build does beside compiling.
out=""
dep=""
prev=""
for a in "$@"; do
  case "$prev" in
    -o) out="$a" ;;
    -MF) dep="$a" ;;
  esac
  prev="$a"
done
[ -n "$out" ] && : >"$out"
[ -n "$dep" ] && printf '%s:\n' "$out" >"$dep"
exit 0
