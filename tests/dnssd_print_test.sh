#!/bin/bash
# Printing from another machine, end to end, inside tools/sandbox: this side
# runs the printer application and a CUPS server sharing a classic ORVEX
# queue, the peer (tools/peer) is a client with its own D-Bus, avahi-daemon
# and cupsd. The client finds both through DNS-SD, makes driverless queues
# from what it found and prints in monochrome draft to each.
#
# usage: dnssd_print_test.sh APP PPD
set -uo pipefail

app=$1 ppd=$2
# Under the sanitizers (tools/check) PAPPL's own leaks are suppressed by the
# functions they come from, which the fast unwinder does not reach.
[[ -z ${ASAN_OPTIONS:-} ]] || export ASAN_OPTIONS=$ASAN_OPTIONS:fast_unwind_on_malloc=0
tools=$(cd "$(dirname "$0")"/../tools && pwd)
work=$(mktemp -d /tmp/dnssd-print.XXXXXX)
chmod 0755 "$work"
failed=0
pids=()

cleanup() {
    kill "${pids[@]}" 2>/dev/null
    "$tools"/scheduler stop "$work"/server >/dev/null 2>&1
    "$tools"/scheduler stop "$work"/client >/dev/null 2>&1
    kill -KILL "${pids[@]}" 2>/dev/null
    "$tools"/peer down
}
trap cleanup EXIT

check() {
    if "${@:2}"; then echo "ok - $1"; else echo "FAIL - $1" && failed=1; fi
}

# Polls COMMAND every 0.2 s for at most SECONDS.
within() {
    local deadline=$((SECONDS + $1))
    until "${@:2}"; do ((SECONDS < deadline)) && sleep 0.2 || return 1; done
}

on_peer() { "$tools"/peer run "$@"; }

# The peer's view: the resolved _ipp._tcp service named $1, a shared CUPS
# queue's name followed by " @ HOST".
service() {
    on_peer avahi-browse -rtp _ipp._tcp 2>/dev/null | NAME=$1 awk -F';' '
        $1 == "=" && $3 == "IPv4" && ($4 == ENVIRON["NAME"] ||
            index($4, ENVIRON["NAME"] "\\032\\064\\032") == 1) { print; exit }'
}
advertised() { [[ -n $(service "$1") ]]; }
gone() { ! advertised "$1"; }
in_subtype() { on_peer avahi-browse -tp _print._sub._ipp._tcp 2>/dev/null | grep -q ";$1;"; }
# ipp://ADDRESS:PORT/RP from the peer's view of the service $1.
browsed_uri() {
    service "$1" | awk -F';' '{
        rp = $10; sub(/.*"rp=/, "", rp); sub(/".*/, "", rp)
        printf "ipp://%s:%s/%s\n", $8, $9, rp }'
}

# The formats of the TXT record's pdl, one a line.
pdl() { service "$1" | grep -o '"pdl=[^"]*"' | tr -d '"' | cut -d= -f2 | tr , '\n'; }

# A D-Bus system bus and avahi-daemon on the veth interface only, for the
# runtime directories the caller sees; echoes nothing, records the pids.
start_avahi() {
    local side=$1 iface=$2 run=("${@:3}")
    printf '%s\n' "[server]" host-name=vk-$side use-ipv4=yes use-ipv6=no \
        allow-interfaces=$iface ratelimit-burst=1000 "[wide-area]" enable-wide-area=no \
        "[publish]" publish-hinfo=no publish-workstation=no >"$work"/avahi-$side.conf
    [[ -s $work/dbus-$side.pid ]] || "${run[@]}" sh -c 'mkdir -p /run/dbus &&
        rm -f /run/dbus/pid && dbus-daemon --system --fork --print-pid >"$0"' \
        "$work"/dbus-$side.pid || return 1
    pids+=("$(cat "$work"/dbus-$side.pid)")
    "${run[@]}" sh -c 'mkdir -p /run/avahi-daemon && rm -f /run/avahi-daemon/pid &&
        avahi-daemon -f "$0" --no-chroot -D && for i in $(seq 50); do
        avahi-daemon -c && cp /run/avahi-daemon/pid "$1" && exit 0; sleep 0.1; done; exit 1' \
        "$work"/avahi-$side.conf "$work"/avahi-$side.pid || return 1
    pids+=("$(cat "$work"/avahi-$side.pid)")
}

# Prints PDF in monochrome draft from the peer to its queue $1 made from the
# browsed URI $2; the converter records in $3, the port is $4.
print_from_peer() {
    local queue=$1 uri=$2 sim=$3 port=$4
    [[ -n $uri ]] || return 1
    rm -f "$sim"/*
    : >"$port"
    on_peer env CUPS_SERVER="$work"/client/cups.sock \
        lpadmin -p "$queue" -E -v "$uri" -m everywhere || return 1
    within 20 test -s "$work"/client/etc/ppd/"$queue".ppd || return 1
    on_peer env CUPS_SERVER="$work"/client/cups.sock \
        lp -d "$queue" -o print-color-mode=monochrome -o print-quality=3 "$work"/doc.pdf \
        >/dev/null || return 1
    within 90 test -e "$sim"/done || return 1
    # The converter's command line ends with ink, media and quality.
    local -a args
    mapfile -t args <"$sim"/argv
    [[ "${args[-3]} ${args[-1]}" == "MONO DRAFT" ]] || return 1
    within 10 cmp -s "$sim"/output "$port"
}

"$tools"/peer up || exit 1
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$work"/doc.pdf \
    -c '/Helvetica findfont 24 scalefont setfont 72 720 moveto (ORVEX) show showpage'
mkdir -m 0777 "$work"/sim-app "$work"/sim-classic
: >/var/run/velokitlp0
: >/var/run/velokitlp1
driver=$("$app" drivers | awk 'NR == 1 { print $1 }')

# The server side's bus comes first; the printer application starts before
# its avahi-daemon, and gets a printer while the daemon is not there.
start_avahi server vk-host env || exit 1
kill "$(cat "$work"/avahi-server.pid)"
within 5 sh -c '! avahi-daemon -c'
VELOKIT_SIM_DIR="$work"/sim-app VELOKIT_SIM_MODE=page "$app" server -o server-port=8631 \
    -o log-file="$work"/app.log -o log-level=debug &
pids+=($!)
within 10 sh -c '"$0" status | grep -q Running' "$app" || { echo "FAIL - server start"; exit 1; }
"$app" add -d early -m "$driver" -v velokitlp:/var/run/velokitlp0 || exit 1
start_avahi peer vk-peer on_peer || exit 1
start_avahi server vk-host env || exit 1
check "a printer is advertised once avahi-daemon starts after the server" \
    within 10 advertised early
kill "$(cat "$work"/avahi-server.pid)"
within 5 gone early
start_avahi server vk-host env || exit 1
check "the printers are advertised again when avahi-daemon restarts" within 15 advertised early

# PAPPL's main loop registers everything again when it first wakes with the
# daemon there: let it do so now, so that what follows is the application's.
"$app" status >/dev/null
"$app" add -d office -m "$driver" -v velokitlp:/var/run/velokitlp0
check "a printer added while the server runs is advertised within 5 s" within 5 advertised office
check "it is in the _print subtype" within 10 in_subtype office
check "its pdl names PWG raster and PDF, each format once" eval '[[ $(pdl office | sort |
    uniq -d) == "" ]] && pdl office | grep -qx image/pwg-raster && pdl office | grep -qx application/pdf'
"$app" delete -d office
check "it is withdrawn within 5 s of its deletion" within 5 gone office

"$app" add -d brief -m "$driver" -v velokitlp:/var/run/velokitlp0
check "default and modify work on a printer just added" eval '"$app" default -d brief &&
    [[ $("$app" default) == brief ]] && "$app" modify -d brief -o printer-location=desk'
check "delete right after add works" "$app" delete -d brief

"$tools"/scheduler start "$work"/server --share 10.77.0.1 \
    VELOKIT_SIM_DIR="$work"/sim-classic VELOKIT_SIM_MODE=page >/dev/null || exit 1
pids+=("$(cat "$work"/server/cupsd.pid)")
CUPS_SERVER="$work"/server/cups.sock lpadmin -p classic -E \
    -v velokitlp:/var/run/velokitlp1 -P "$ppd" -o printer-is-shared=true 2>/dev/null
on_peer "$tools"/scheduler start "$work"/client >/dev/null || exit 1
pids+=("$(cat "$work"/client/cupsd.pid)")

check "the application's printer prints from the peer in monochrome draft" \
    print_from_peer app-early "$(browsed_uri early)" "$work"/sim-app /var/run/velokitlp0
check "the shared classic queue is found by the peer" within 30 advertised classic
check "the shared classic queue prints from the peer in monochrome draft" \
    print_from_peer server-classic "$(browsed_uri classic)" "$work"/sim-classic \
    /var/run/velokitlp1

if ((failed)); then
    for log in app.log server/log/error_log client/log/error_log; do
        echo "--- $log" && tail -40 "$work/$log"
    done
    exit 1
fi
rm -rf "$work"
