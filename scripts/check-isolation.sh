#!/usr/bin/env bash
# Checks that the service's units cannot reach past the platform's headers: a unit of source/ that
# includes GLib, libsoup or a host-device header must not compile. Compiles a probe with the flags
# BUILD's compile_commands.json (default build/) gives source/Retry.cpp, once per forbidden header.
#
#   scripts/check-isolation.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
command=$(python3 - "$build/compile_commands.json" "$PWD/source/Retry.cpp" <<'PY'
import json, shlex, sys
for entry in json.load(open(sys.argv[1])):
    if entry["file"] == sys.argv[2]:
        words = shlex.split(entry["command"])
        # The compiler and its flags, without the output and the source.
        kept, skip = [], False
        for word in words:
            if skip:
                skip = False
            elif word in ("-o", "-c", "-MF", "-MT"):
                skip = True
            elif word != "-MD":
                kept.append(word)
        print(shlex.join(kept))
        break
PY
)
[ -n "$command" ] || { echo "check-isolation: source/Retry.cpp is not in $build" >&2; exit 1; }
failed=0
for header in glib.h gio/gio.h libsoup/soup.h HostCore.h VconfInternal.h; do
    if echo "#include <$header>" | $command -fsyntax-only -x c++ - 2>/dev/null; then
        echo "check-isolation: a service unit can include <$header>" >&2
        failed=1
    fi
done
# The probe itself must work: the platform's own headers compile.
echo "#include <vconf.h>" | $command -fsyntax-only -x c++ - ||
    { echo "check-isolation: the probe does not compile a platform header" >&2; exit 1; }
[ "$failed" -eq 0 ] && echo "check-isolation: a service unit that includes GLib, libsoup or a host header does not build"
exit "$failed"
