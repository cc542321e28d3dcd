#!/usr/bin/env bash
# Sets up and runs the main job on a fresh machine against the simulated board: builds the
# programs, then walks through what tessaro-cli does, ending with programming and verifying the
# embedded flash of a simulated LYR8721, the external memories (DataFlash, dual QSPI, parallel
# NOR, NAND), and a board served by tessaro-sim on a pseudo-terminal.
#
# scripts/demo.sh gui opens the desktop program instead, with a simulated LYR8721 behind COM9
# (its own settings folder, build/demo-config, so your settings stay untouched).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
if [ "${1:-}" = "gui" ]; then
  scripts/build.sh none tessaro-gui data_folders
  export XDG_CONFIG_HOME="$PWD/build/demo-config"
  settings="$XDG_CONFIG_HOME/Corvane SA/tessaro.conf"
  if [ ! -f "$settings" ]; then
    mkdir -p "$(dirname "$settings")"
    printf '[Settings]\nCOM=8\nBoard=LYR8721 FLASH\n\n[Ports]\nCOM9="sim:--chip=LYR8721,--interface=usb"\n' > "$settings"
  fi
  echo "Settings: $settings (COM9 is a simulated LYR8721; try examples/demo.hex on the embedded flash)"
  exec build/bin/tessaro
fi
scripts/build.sh none tessaro-cli tessaro-sim data_folders
bin=build/bin
work=$(mktemp -d)
sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
run() { echo; echo "\$ tessaro-cli $*"; "$bin/tessaro-cli" "$@"; }

run config "LYR9162 FLASH(16k,Host)+EXTSDR(32M,CL2/Row13/Col9)+EXTNOR(4M,8/4WS)" "LYR8247 FLASH+EXTSDR(2x8Mib,4WS)"
run boards
run devices > "$work/devices.txt"; head -n 25 "$work/devices.txt"
run image examples/demo.hex
for chip in LYR7322 LYR7452 LYR8326 LYR8721 LYR8547 LYR9468; do
  run identify --port "sim:--chip=$chip,--interface=usb"
done

# Program, then verify in a second run against the same kept board state.
state="$work/lyr8721.state"
run program --port "sim:--chip=LYR8721,--interface=usb,--state=$state" --config-string "LYR8721 FLASH" \
    --dest embedded --start 0 examples/demo.hex
run verify --port "sim:--chip=LYR8721,--interface=usb,--state=$state" --config-string "LYR8721 FLASH" \
    --dest embedded --start 0 --json examples/demo.hex

# The external memories: a DataFlash, a dual QSPI board, a parallel NOR board and a NAND board,
# each programmed (and verified) in one run, then verified again and its dump shown.
ext() {  # label, simulated board options, target options, dump region
  local dump="$work/$4.bin" port="sim:$2,--state=$work/$4.state,--dump-memory=$4:$work/$4.bin"
  echo; echo "# $1"
  eval "run program --yes --port \"\$port\" $3 --start 0 examples/demo.hex"
  eval "run verify --port \"\$port\" $3 --start 0 examples/demo.hex"
  echo "first words of the $4 dump:"; od -An -tx2 -N 16 "$dump"
}
ext "DataFlash on a LYR9468" "--chip=LYR9468,--spi-flash=AT45DB161E@P7.15,--dataflash-pages=pow2" \
    "--config-string LYR9468 --df AT45DB161E --df-enable P7.15=0 --dest serial" spi
ext "LYR9468 Dual QSPI Board" "--board=LYR9468 Dual QSPI Board" "--board 'LYR9468 Dual QSPI Board' --dest qspi" qspi
ext "LYR8321 Module (parallel NOR)" "--board=LYR8321 Module" "--board 'LYR8321 Module' --dest nor" nor
ext "NAND on a LYR9371" "--chip=LYR9371,--nand" "--config-string LYR9371 --nand --dest nand" nand
run blank-check --port "sim:--board=LYR8321 Module,--state=$work/nor.state" --board "LYR8321 Module" --dest nor \
    --start 0 --size 100 || true
run read --port "sim:--board=LYR8321 Module,--state=$work/nor.state" --board "LYR8321 Module" --dest nor \
    --start 0 --size 8 -o "$work/nor-head.hex"
cat "$work/nor-head.hex"

# The same through a pseudo-terminal, with the wire counted by the simulator.
echo
echo "\$ tessaro-sim --chip LYR8547 --interface usb --stats $work/stats.json &"
"$bin/tessaro-sim" --chip LYR8547 --interface usb --stats "$work/stats.json" > "$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q '^pty: ' "$work/sim.out" && break; sleep 0.1; done
pty=$(sed -n 's/^pty: //p' "$work/sim.out" | head -n 1)
echo "pty: $pty"
run identify --port "$pty"
run program --port "$pty" --config-string "LYR8547 FLASH" --dest embedded --start 0 examples/demo.hex
run verify --port "$pty" --config-string "LYR8547 FLASH" --dest embedded --start 0 examples/demo.hex
kill -TERM "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=""
echo; echo "wire counters of the simulated board:"; cat "$work/stats.json"
echo
echo "Done."
