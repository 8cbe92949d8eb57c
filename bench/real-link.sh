# shellcheck shell=bash disable=SC2154
# The storage run and lftp over a link with a real round trip; sourced by bench/run for
# `--rtt`, after the build (it uses $top, $out, $build, $B, $PY, $n, $rtts and the helpers).
#
# Everything happens in a network namespace of its own, made here and removed at the end:
# the database and FTP servers, the storage run, lftp and the run in the window all talk on
# that namespace's loopback, whose OUTPUT chain sends every packet to an NFQUEUE queue that
# link_delay holds for half the round trip (the kernel may have no netem). The host's own
# network is never touched. Per round trip it probes the link (TCP connects and echoes),
# then runs, one after the other on fresh files: the storage run driven without a screen,
# lftp (folders made once, then mput), both captured with tcpdump, and the run in the real
# window (offscreen). The figures go to bench/out/link-results.txt, the table to the screen.

link=$out/link
data=$link/data
results=$out/link-results.txt
LD=$build/bench/link_delay
IPT=iptables-legacy
ns=quarvel-bench-$$
svc=$link/services
queue=0

die() { echo "bench/run: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "--rtt makes a network namespace: it needs root"
for tool in ip "$IPT" tcpdump; do
  command -v "$tool" >/dev/null || die "$tool not found: run scripts/setup"
done
[ -x "$LD" ] || die "$LD was not built"

rm -rf "$link"
mkdir -p "$data"
: >"$results"

inns() { ip netns exec "$ns" "$@"; }
delayer_pid=
capture_pid=
stop_delay() {
  [ -n "$delayer_pid" ] || return 0
  inns "$IPT" -D OUTPUT -o lo -j NFQUEUE --queue-num "$queue" 2>/dev/null || true
  kill -TERM "$delayer_pid" 2>/dev/null || true
  wait "$delayer_pid" 2>/dev/null || true
  delayer_pid=
}
# tcpdump writes what it holds when stopped; a moment first for the last packets to reach
# it, then a check that it kept every packet it saw, or the counts would be short. On a
# loopback it sees each packet twice (leaving and arriving) and keeps one.
stop_capture() {
  [ -n "$capture_pid" ] || return 0
  sleep 0.5
  kill -TERM "$capture_pid" 2>/dev/null || true
  wait "$capture_pid" 2>/dev/null || true
  capture_pid=
  local got seen
  got=$(sed -n 's/^\([0-9]*\) packets\? captured$/\1/p' "$capture_file.log")
  seen=$(sed -n 's/^\([0-9]*\) packets\? received by filter$/\1/p' "$capture_file.log")
  [ -n "$got" ] && { [ "$got" = "$seen" ] || [ $((2 * got)) = "$seen" ]; } ||
    die "tcpdump kept ${got:-?} of ${seen:-?} packets of $capture_file"
}
cleanup_link() {
  stop_capture
  stop_delay
  "$top/scripts/services" stop "$svc" >/dev/null 2>&1 || true
  ip netns del "$ns" 2>/dev/null || true
}
trap cleanup_link EXIT

# Waits (bounded) for a line in a log file; $3 names what was awaited.
await_line() {
  local i
  for ((i = 0; i < 100; i++)); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$1" >&2
  die "$3 did not start"
}

# The processes in the background are started by `ip netns exec` itself (not through a
# function, which would put a subshell between), so that $! is theirs to stop.
start_capture() {
  ip netns exec "$ns" tcpdump -i lo -n -s 512 --immediate-mode -U -Z root -w "$1" 2>"$1.log" &
  capture_pid=$!
  capture_file=$1
  await_line "$1.log" 'listening on' tcpdump
}

echo "== a network namespace of its own ($ns), its servers"
ip netns add "$ns"
inns ip link set lo up
inns "$top/scripts/services" start "$svc" db ftp >/dev/null
set -a
# shellcheck disable=SC1091
. "$svc/services.env"
set +a

gen() { "$B" gerar-nfe --fixtures "$top/tests/fixtures/nfe" --out "$data/$1" --n "$2"; }
gen fonte "$n" # never moved: lftp takes it at every round trip
qt_noise() { grep -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints' || true; }
count() {
  "$PY" "$top/bench/link.py" count --pcap "$1" --ftp-port "$QUARVEL_TEST_FTP_PORT" \
    --db-port "$QUARVEL_TEST_DB_PORT" --files "$n" --prefix "$2" | tee -a "$results"
}

for rtt in ${rtts//,/ }; do
  p=rtt$rtt
  echo "== round trip $rtt ms ($n files)"
  fig "${p}_nominal_ms" "$rtt" ms
  if [ "$rtt" -gt 0 ]; then
    # Half the round trip on each packet: a request and its answer each cross once.
    ip netns exec "$ns" "$LD" --queue "$queue" --delay-us $((rtt * 500)) --lifetime-s 3600 \
      2>"$link/delay$rtt.log" &
    delayer_pid=$!
    await_line "$link/delay$rtt.log" 'us per packet' link_delay
    inns "$IPT" -A OUTPUT -o lo -j NFQUEUE --queue-num "$queue"
  fi
  inns "$PY" "$top/bench/link.py" probe --n 30 --prefix "${p}_probe" | tee -a "$results"

  acct=$(printf '111111110%05d' "$rtt")
  gen "storage$rtt" "$n"
  settle
  start_capture "$link/$p-storage.pcap"
  inns "$B" armazenamento --nfe "$data/storage$rtt" --bkp "$data/storage$rtt-bkp" \
    --cnpj "$acct" --prefixo "${p}_storage" | tee -a "$results"
  stop_capture
  count "$link/$p-storage.pcap" "${p}_storage"

  cmds="set ftp:ssl-allow no; set cmd:fail-exit yes; lcd $data/fonte; mkdir -p public_html/lftp$rtt"
  for d in "$data"/fonte/*/; do
    d=$(basename "$d")
    cmds+="; mkdir public_html/lftp$rtt/$d; mput -O public_html/lftp$rtt/$d $d/*.xml"
  done
  settle
  start_capture "$link/$p-lftp.pcap"
  t0=$(now)
  LFTP_PASSWORD=$QUARVEL_TEST_FTP_PASSWORD inns lftp --env-password -u "$QUARVEL_TEST_FTP_USER" \
    -p "$QUARVEL_TEST_FTP_PORT" "$QUARVEL_TEST_FTP_HOST" -e "$cmds; quit" >"$link/lftp$rtt.log" 2>&1 \
    || { cat "$link/lftp$rtt.log" >&2; die "lftp failed"; }
  lftp_s=$(since "$t0")
  stop_capture
  enviados=$(count_xml "$QUARVEL_TEST_FTP_HOME/public_html/lftp$rtt")
  [ "$enviados" -eq "$n" ] || die "lftp uploaded $enviados of $n files"
  fig "${p}_lftp_s" "$lftp_s" s
  fig "${p}_lftp_files_per_s" "$("$PY" -c "import sys; print(f'{int(sys.argv[1]) / float(sys.argv[2]):.2f}')" "$n" "$lftp_s")" files/s
  count "$link/$p-lftp.pcap" "${p}_lftp"

  gen "janela$rtt" "$n"
  settle
  QT_QPA_PLATFORM=offscreen inns "$B" janela-armazenamento --nfe "$data/janela$rtt" \
    --bkp "$data/janela$rtt-bkp" --cnpj "$(printf '222222220%05d' "$rtt")" \
    --prefixo "${p}_window_storage" 2> >(qt_noise >&2) | tee -a "$results"

  stop_delay
  if [ "$rtt" -gt 0 ]; then
    # How late the delayer let packets go, beyond the half round trip it was asked for.
    tail -n 1 "$link/delay$rtt.log"
    "$PY" - "$link/delay$rtt.log" "$p" <<'PYEOF' | tee -a "$results"
import re, sys
m = re.search(r"(\d+) packets held, released late by ([\d.]+) us on average, ([\d.]+) us at most; "
              r"(\d+) more than 1 ms late", open(sys.argv[1]).read())
if m:
    print(f"{sys.argv[2]}_delay_packets {float(m.group(1)):.1f} count")
    print(f"{sys.argv[2]}_delay_late_avg_us {float(m.group(2)):.1f} us")
    print(f"{sys.argv[2]}_delay_late_max_us {float(m.group(3)):.1f} us")
    print(f"{sys.argv[2]}_delay_late_over_1ms {float(m.group(4)):.1f} count")
PYEOF
  fi
done

cleanup_link
trap - EXIT
fig bench_total_s "$(since "$inicio")" s
"$PY" "$top/bench/table.py" --link "$results" "$n"
