#!/bin/sh
# Installs a build into a scratch DESTDIR and checks the server's layout: the
# executable with its plug-in directories beside it, the tools, and a systemd
# unit that starts the installed executable as a forking daemon whose PID file
# is the one libdaemon writes.
# Usage: check_install.sh BUILD_DIR
set -eu
build=$1
stage=$(mktemp -d /tmp/kiv-install-XXXXXX)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /opt > /dev/null
dir=$stage/opt/kivrecorder
fail=0
check() {
    if ! test "$@"; then
        echo "missing or wrong: $*" >&2
        fail=1
    fi
}
check -x "$dir/core"
check -d "$dir/plugins"
check -f "$dir/plugins/RimvaultPI.so"
check -d "$dir/protected-plugins"
check -x "$dir/bin/psfile"
check -x "$dir/bin/mp4tops"
unit=$dir/kivrecorder.service
check -f "$unit"
for line in "Type=forking" "PIDFile=/run/kivrecorder.pid" "ExecStart=/opt/kivrecorder/core" \
    "WantedBy=multi-user.target"; do
    grep -qx "$line" "$unit" || { echo "unit lacks: $line" >&2; fail=1; }
done
# The unit must not name the build tree.
if grep -q "$build" "$unit"; then
    echo "unit names the build directory" >&2
    fail=1
fi
exit $fail
