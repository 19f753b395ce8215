#!/usr/bin/env bash
# Makes the Debian package from a build folder and checks it: lintian finds no errors, the
# package holds exactly the files below, the desktop entry and the metainfo validate and
# agree with the programs, and the program its desktop entry starts comes up on a virtual
# screen of its own.
#
#   tests/package-test.sh BUILD_DIR
set -euo pipefail

# Debian's Python, whatever python3 comes first in PATH, and its modules' file name ending.
python=/usr/bin/python3
python_suffix=$($python -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
# Every file the package installs, below its root. Each program in usr/bin also needs a
# <binary> in the metainfo's <provides> and a manual page here.
expected_files=(
    usr/bin/TavroSendral
    usr/bin/tavro-i2c
    usr/bin/tavro-sim
    "usr/lib/python3/dist-packages/tavro$python_suffix"
    usr/share/TavroSendral/QUICKSTART.txt
    usr/share/TavroSendral/README.txt
    usr/share/TavroSendral/REVISIONS.txt
    usr/share/TavroSendral/icon.png
    usr/share/TavroSendral/maps/24c32.yaml
    usr/share/TavroSendral/maps/lm75.yaml
    usr/share/TavroSendral/maps/mcp23017.yaml
    usr/share/TavroSendral/qvt.png
    usr/share/applications/tavro-sendral.desktop
    usr/share/doc/tavro-sendral/changelog.gz
    usr/share/doc/tavro-sendral/copyright
    usr/share/icons/hicolor/128x128/apps/tavro-sendral.png
    usr/share/icons/hicolor/48x48/apps/tavro-sendral.png
    usr/share/man/man1/TavroSendral.1.gz
    usr/share/man/man1/tavro-i2c.1.gz
    usr/share/man/man1/tavro-sim.1.gz
    usr/share/man/man5/tavro-register-map.5.gz
    usr/share/metainfo/com.example.sendral.metainfo.xml
)

build=$(cd "${1:?usage: package-test.sh BUILD_DIR}" && pwd)
scratch=$(mktemp -d /tmp/sendral-package-XXXXXX)
xvfb=
program=
# Ends a child of this script by its pid and reaps it.
stop() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    [ -z "$program" ] || stop "$program"
    [ -z "$xvfb" ] || stop "$xvfb"
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
# Runs the command every 50 ms until it succeeds; fails after the given seconds.
wait_for() {
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.05
    done
}

echo "== cpack"
(cd "$build" && cpack -G DEB -B "$scratch/out") >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; fail "cpack -G DEB"; }
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "cpack made ${#debs[@]} packages"
deb=${debs[0]}
field() { dpkg-deb -f "$deb" "$1"; }
name="$(field Package)_$(field Version)_$(dpkg --print-architecture).deb"
[ "$(basename "$deb")" = "$name" ] || fail "package file $(basename "$deb"), not $name"
echo "Depends: $(field Depends)"
# Computed from the binaries: the toolkit is there only if dpkg-shlibdeps ran.
[[ "$(field Depends)" == *libgtk2.0-0* ]] || fail "Depends lacks the toolkit"
[ "$(field Section)" = electronics ] || fail "section $(field Section)"

echo "== lintian"
lintian --fail-on error "$deb" || fail "lintian found errors"

echo "== files"
root=$scratch/root
dpkg -x "$deb" "$root"
[ ! -e "$root/usr/local" ] || fail "the package installs under /usr/local"
diff <(printf '%s\n' "${expected_files[@]}" | sort) \
     <(cd "$root" && find . ! -type d | sed 's|^\./||' | sort) ||
    fail "the package's files differ from the expected list (< expected, > packaged)"

echo "== python module"
# Installed, the module lies on Debian's Python path; here it is loaded from where it lies.
$python -c 'import sys; sys.exit("/usr/lib/python3/dist-packages" not in sys.path)' ||
    fail "the module's folder is not on $python's path"
PYTHONPATH=$root/usr/lib/python3/dist-packages $python -c 'import tavro; tavro.SMBus.i2c_rdwr' ||
    fail "python3 -c 'import tavro' fails with the packaged module"

echo "== desktop entry and metainfo"
desktop=$root/usr/share/applications/tavro-sendral.desktop
metainfo=$root/usr/share/metainfo/com.example.sendral.metainfo.xml
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
for program in "$root"/usr/bin/*; do
    grep -q "<binary>$(basename "$program")</binary>" "$metainfo" ||
        fail "the metainfo does not provide $(basename "$program")"
done
icon=$(sed -n 's/^Icon=//p' "$desktop")
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "no icon named $icon"
[ -x "$root/usr/bin/$exec_line" ] || fail "Exec=$exec_line is not a packaged program"

echo "== start"
# A server of its own, so that no other suite's window searches or keys meet this window.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb=$!
wait_for 20 grep -q '^[0-9]' "$scratch/display" || { cat "$scratch/xvfb.log"; fail "Xvfb did not start"; }
export DISPLAY=:$(head -n 1 "$scratch/display")
NO_AT_BRIDGE=1 "$root/usr/bin/$exec_line" >"$scratch/stdout" 2>"$scratch/stderr" &
program=$!
# The port discovery's last line comes just before the window is shown.
if ! wait_for 30 grep -q '^Checking /dev/usb/tts/9\.\.\.' "$scratch/stdout" ||
    ! grep -qx 'Starting gui.' "$scratch/stdout" ||
    ! wait_for 30 sh -c 'xwininfo -root -tree | grep -q "Tavro Sendral - \[ new list \]"'; then
    cat "$scratch/stdout" "$scratch/stderr"
    fail "the packaged program did not come up"
fi
kill -0 "$program" || fail "the packaged program ended by itself"
kill -TERM "$program"
status=0
wait "$program" || status=$?
program=
# SIGTERM is a quit like Exit: the port's latency setting goes back and the program ends 0.
[ "$status" -eq 0 ] || fail "the packaged program ended with status $status after SIGTERM, not 0"
echo "the packaged program started and was stopped"
