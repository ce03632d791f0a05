#!/bin/sh
# Strips an installed program as Debian's dh_strip does: the symbols, and the compiler's .comment
# and .note sections, which nothing reads at run time. Used as CMAKE_STRIP by the package preset.
exec strip --remove-section=.comment --remove-section=.note "$@"
