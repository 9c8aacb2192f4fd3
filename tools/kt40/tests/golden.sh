#!/bin/bash
# Golden transcripts of kt40: each case's standard output, standard error and
# exit code against golden/CASE.txt. Every case runs on a private, fresh
# virtual crate, except "persistent", which keeps a crate of its own in a
# temporary folder. Time stamps and durations are blanked.
#   golden.sh KT40 [CASE...]        compare
#   UPDATE=1 golden.sh KT40 ...     rewrite the golden files
set -uo pipefail
kt40=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
data=$here/data
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KT40_SIM_STATE=private
export HOME=$work/home XDG_STATE_HOME=$work/home/state  # nothing of the user's is touched
unset KT40_CRATE_FILE
mkdir -p "$HOME"

# Runs one command line, showing it, its output and its exit code.
step() {
  echo "\$ kt40 $*"
  "$kt40" "$@" 2>&1
  echo "[exit $?]"
}
shell() {
  echo "\$ kt40 shell <<"
  sed 's/^/  /' "$1"
  "$kt40" shell < "$1" 2>&1
  echo "[exit $?]"
}
lines() { printf '%s\n' "$@" > "$work/in"; echo "$work/in"; }

case_help() {
  step --help
  step --version
  step cnaf --help
  step shell -h
}

case_usage() {
  step
  step frobnicate 1
  step cnaf 0 5 0
  step cnaf 4 5 0 0
  step cnaf 0 0 0 0
  step cnaf 0 25 0 0
  step cnaf 0 5 16 0
  step cnaf 0 5 0 32
  step cnaf 0 5 0 16
  step cnaf 0 5 0 0 7
  step cnaf 0 5 0 16 65536
  step cnaf 0 5 0 16 0x1000000 --24
  step cnaf 0 5 0 16 12abc
  step cnaf 0 5 0 0 --repeat 0
  step cnaf 0 5 0 0 --repeat
  step cnaf 0 5 0 0 --delay -1
  step cnaf 0 5 0 0 --frob
  step cnaf 0 5 0 0 --24=1
  step z
  step z 0 1
  step inhibit 0 maybe
  step scan 0 --f 16
  step scan 7
  step lam --count 0
  step run "$data/count.tvs" --count 2
  step run
  step show a.tvs b.tvs
}

case_actions() {
  shell "$(lines 'c0 n5 a0 f16 d1234' 'c0 n5 a0 f0' 'N5 A0 F0 C0' \
    'cnaf 0 1 3 16 0xABCDEF --24' 'cnaf 0 1 3 0 --24' 'cnaf 0 1 3 0' \
    'c0 n1 a3 f0 b24' 'cnaf 0 9 0 0' 'cnaf 0 9 0 0 --allow-no-x' 'cnaf 1 5 0 0' '--json cnaf 1 5 0 0' 'cnaf 0 3 0 8' 'cnaf 0 3 0 25' 'cnaf 0 3 0 8' \
    'cnaf 0 5 0 0 --repeat 3' '--json cnaf 0 5 0 0 --repeat 2' 'cnaf 0 3 0 24 --json' \
    'c0 n5 a0 f16' 'c0 n5 a0 f16 d1 extra' 'cnaf 0 5 0 16 0o17' 'f0' 'f16 d0b101' 'f0 b24' 'n1 a3' \
    'cnaf 0 5 0 0 --radix oct' 'cnaf 0 5 0 0 --radix bin' 'cnaf 0 5 0 0 --radix dec' 'cnaf 0 5 0 0 --radix 8' \
    'c0 n3 a0 f10' 'cnaf 0 3 0 8 --repeat 5 --until-no-q' 'cnaf 0 1 0 0 --repeat 3 --until-q' 'cnaf 0 5 0 16 0o8' 'f9 d1' \
    'block 0 1 0 16 --data 1,2,0x3' 'block 0 1 0 0 --count 3' 'block 0 5 0 0 --count 4 --mode scan' \
    'block 0 9 0 0 --count 3' 'block 0 5 0 0 --count 2 --mode qrepeat --24' 'block 0 1 0 0' \
    'block 0 1 0 0 --data 1' 'block 0 1 0 16 --data 1,0x10000' 'block 0 1 0 0 --count 2 --mode fast' \
    'quit' 'cnaf 0 5 0 0')"
  printf '%s\n' 'cnaf 0 5 0 0' 'frob' 'cnaf 0 5 0 0' > "$work/lines"
  step shell --file "$work/lines" --stop-on-error
  step shell --file "$work/no-such-lines"
}

case_crate() {
  shell "$(lines 'status 0' 'c0 n5 a0 f16 d77' 'inhibit 0 on' 'status 0' 'z 0' 'c0 n5 a0 f0' \
    'c0 n1 a0 f16 d5' 'c 0' 'c0 n1 a0 f0' 'inhibit 0 off' 'status 0 --json' 'status 1' \
    'c0 n3 a0 f25' 'status 0' '--json z 1' 'c 3 --json')"
}

case_scan() {
  step scan
  step scan 0 --f 8
  step scan 1
  step --json scan 0
}

case_lam() {
  shell "$(lines 'c0 n3 a0 f25' 'lam 0 --count 1' 'c0 n3 a0 f24' 'lam --timeout 1' \
    'c0 n3 a0 f26' '--json lam --count 1 --timeout 5' 'c0 n3 a0 f10' 'lam 0 --timeout 1' \
    'c0 n3 a0 f25' 'lam 0 --count 1 --mask 0x10 --timeout 1' 'lam 0 --count 1 --ack' 'lam 0 --timeout 1' \
    'c0 n3 a0 f25' '--json lam 0 --count 1 --ack-function 24' 'lam 0 --timeout 1')"
  step lam 0 --count 1 --timeout 1
  step lam 0 --ack-function 16
}

case_scripts() {
  step show "$data/demo.tvs"
  step --json show "$data/count.tvs"
  step run "$data/demo.tvs"
  step run "$data/count.tvs" --cycle --count 3 --cycle-delay 1
  step run "$data/one.tvs" --cycle --count 3
  step --json run "$data/demo.tvs"
  step run "$data/not-a-script.tvs"
  step show "$data/no-such-file.tvs"
  step run "$data/empty.tvs"
  step show "$data/out-of-range.tvs"
  step run "$data/out-of-range.tvs"
  step run "$data/out-of-range.tvs" --as-panel
}

case_persistent() {
  unset KT40_SIM_STATE
  step cnaf 0 5 0 16 1234
  step cnaf 0 5 0 0
  step inhibit 0 on
  step status 0
  # Another program holds the crate until it is told to let go.
  local lock=$XDG_STATE_HOME/kt40/crate.lock
  flock "$lock" sh -c 'while [ ! -e "$0" ]; do sleep 0.05; done' "$work/let-go" &
  local holder=$!
  for _ in $(seq 200); do flock -n "$lock" true || break; sleep 0.05; done
  step cnaf 0 5 0 0
  touch "$work/let-go"
  wait $holder
  step cnaf 0 5 0 0
  printf garbage | dd of="$XDG_STATE_HOME/kt40/crate.image" conv=notrunc status=none  # over its first bytes
  step cnaf 0 5 0 0
  ls "$XDG_STATE_HOME/kt40"
  export KT40_SIM_STATE=private
}

# The bench acts on the user's crate beside the program that holds it; never
# on a private crate or real hardware.
case_bench() {
  step bench lam 3
  unset KT40_SIM_STATE
  export XDG_STATE_HOME=$work/bench
  step bench lam 3
  step status 0
  step bench drop 3
  step bench input 12 0x5
  step cnaf 0 12 0 2
  step bench unplug 5
  step cnaf 0 5 0 0
  step bench unplug 5
  step bench plug 5
  step cnaf 0 5 0 0
  step bench gate
  step cnaf 0 8 0 8
  step bench trigger 5 --station 3
  step bench trigger off
  step bench offline 0
  step status 0
  step bench online 0
  step bench lam 4 --crate 1
  KT40_ADAPTER=pci step bench lam 3
  step bench kick 3
  step bench lam 25
  export XDG_STATE_HOME=$work/home/state KT40_SIM_STATE=private
}

# Blanks what changes from run to run.
blank() {
  sed -E -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z/TIME/g' \
         -e 's/in [0-9.]+ s \([0-9]+ entries\/s\)/in T s (R entries\/s)/' \
         -e 's/process [0-9]+/process PID/' \
         -e 's/\.(damaged|previous)-[0-9]{8}T[0-9]{6}Z/.\1-STAMP/g' \
         -e "s#$work#WORK#g" -e "s#$data#DATA#g"
}

cases=("$@")
[ ${#cases[@]} -eq 0 ] && cases=(help usage actions crate scan lam scripts persistent bench)
status=0
for c in "${cases[@]}"; do
  "case_$c" > "$work/$c.raw" 2>&1
  blank < "$work/$c.raw" > "$work/$c.txt"
  if [ "${UPDATE:-}" = 1 ]; then
    cp "$work/$c.txt" "$here/golden/$c.txt"
  elif ! diff -u "$here/golden/$c.txt" "$work/$c.txt"; then
    echo "golden: case $c differs" >&2
    status=1
  fi
done
exit $status
