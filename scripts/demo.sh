#!/usr/bin/env bash
# Installs what is missing, builds the program, installs it as the project's own Debian
# package (so that apt knows every file, and "apt remove tavro-sendral" takes them all),
# starts the adapter simulator and then the program against it.
# Usage: scripts/demo.sh [sol|solx|dyn]
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
    echo "usage: scripts/demo.sh [sol|solx|dyn]   (the adapter to simulate; default solx)" >&2
    exit 2
}
[ $# -le 1 ] || usage
variant=${1:-solx}
case "$variant" in
    sol | solx | dyn) ;;
    *) usage ;;
esac

bash scripts/setup.sh
if [ "$(id -u)" -eq 0 ]; then
    (cd build && cpack -G DEB >/dev/null)
    package=$(ls build/tavro-sendral_*.deb | head -n 1)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "./$package" >/dev/null
    echo "demo: installed $package; 'apt remove tavro-sendral' takes it out again"
    program=/usr/bin/TavroSendral
    sim=/usr/bin/tavro-sim
    i2c=/usr/bin/tavro-i2c
    # An earlier demo put untracked copies under /usr/local, which come first in PATH.
    for old in /usr/local/bin/TavroSendral /usr/local/bin/tavro-sim /usr/local/bin/tavro-i2c; do
        [ ! -e "$old" ] || echo "demo: $old is left from an older demo and no package's: remove it by hand"
    done
else
    echo "demo: not root, so nothing is installed and the help texts and images are missing;"
    echo "      running from build/"
    program=build/src/TavroSendral
    sim=build/sim/tavro-sim
    i2c=build/cli/tavro-i2c
fi

# As root, link the simulator under a name that the program's port discovery probes.
link_args=()
link=""
if [ "$(id -u)" -eq 0 ]; then
    for n in 9 8 7 6 5 4 3 2 1 0; do
        if [ ! -e "/dev/ttyUSB$n" ] && [ ! -L "/dev/ttyUSB$n" ]; then
            link="/dev/ttyUSB$n"
            break
        fi
    done
    [ -n "$link" ] && link_args=(--link "$link")
fi

# The simulator takes its event commands (busy, nak, int on, vanish, ...) from a FIFO, so
# that they can be sent from another terminal while the program runs.
work=$(mktemp -d /tmp/tavro-demo-XXXXXX)
log="$work/sim.log"
commands="$work/commands"
mkfifo "$commands"
exec 3<>"$commands"
# The installed maps, or the source tree's when not installed.
maps=/usr/share/TavroSendral/maps
[ -f "$maps/lm75.yaml" ] || maps=$PWD/data/maps
# Real timing and chatter between replies: the pace and the noise of an adapter on a real line.
# An LM75 temperature sensor at 0x48, built from its register map.
"$sim" --variant "$variant" --timing real --chatty --quiet "${link_args[@]}" \
    --chip "0x48=$maps/lm75.yaml" <"$commands" >"$log" 2>&1 &
sim_pid=$!
cleanup() {
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    [ -n "$link" ] && [ -L "$link" ] && rm -f "$link"
    exec 3>&- || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

for _ in $(seq 50); do
    [ -s "$log" ] && break
    sleep 0.1
done
pty=$(head -n 1 "$log")
# The first line is the port; anything else (or nothing) means the simulator did not start.
if [ "${pty#/dev/}" = "$pty" ] || ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "demo: the simulator did not start:" >&2
    cat "$log" >&2
    exit 1
fi
echo
echo "The Tavro simulator ($variant, keeping a real line's time) is listening on $pty"
if [ -n "$link" ]; then
    echo "and is linked as $link: choose it in \"Serial port:\" (or type $pty)."
else
    echo "Type $pty into \"Serial port:\"."
fi
case "$variant" in
    sol) echo "Choose \"Tavro/Sol\" under Device, then press Open Link." ;;
    solx) echo "Choose \"Tavro/Solx\" under Device, then press Open Link." ;;
    dyn) echo "Choose \"Tavro/Dyn\" under Device, then press Open Link." ;;
esac
echo "To play bus events, from another terminal: echo 'busy' > $commands"
echo "  (also: nak, arb, int on, int off, str, src 01 02, noise, vanish; see tavro-sim --help)"
variant_option=""
[ "$variant" != solx ] && variant_option=" -d $variant"
echo "To ask from the shell what answers on the simulated bus (0x27, 0x48 and 0x50), while the"
echo "program's link is closed:"
echo "  $i2c detect -y -p $pty$variant_option"
echo "and what the EEPROM at 0x50 holds:"
echo "  $i2c dump -y -p $pty$variant_option 0x50"
echo "and the temperature sensor at 0x48, its registers and fields by name:"
echo "  $i2c dump -y -p $pty$variant_option --map $maps/lm75.yaml"
echo "  $i2c set -y -p $pty$variant_option --map $maps/lm75.yaml CONF.FAULT_QUEUE four"
echo

if [ -n "${DISPLAY:-}" ]; then
    "$program"
else
    echo "demo: no DISPLAY; running the program on a virtual screen (xvfb-run)."
    xvfb-run -a -s "-screen 0 1024x768x24" "$program"
fi
