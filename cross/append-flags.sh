#!/bin/sh
# Compiler launcher: runs the compile command with $X86_EXTRA_FLAGS appended,
# so that those flags come after (and override) the module's own.
# shellcheck disable=SC2086
exec "$@" $X86_EXTRA_FLAGS
