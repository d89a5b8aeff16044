#!/usr/bin/env bash
# A short tour of what works today, run by `./kv run` until the GUI exists: kvtool against
# the in-process bench camera, with a settings file of its own in a scratch directory.
set -euo pipefail
bin=${1:-build/bin}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export KVMINI_CONFIG_DIR=$scratch
kvtool() { "$bin/kvtool" "$@"; }
step() { printf '\n\033[1m$ kvtool %s\033[0m\n' "$*"; kvtool "$@"; }

step help
step settings set CONNECT_PARAMS BAUD_RATE 115200
step settings get connect_params baud_rate
step mfg-number 1090518974
step mfg-number new

# Sensor pipeline: a RAM file (random bytes here) through the RAM To Disk and simulation
# commands; the desktop stands in scratch so develop.mtx stays out of the real one.
export XDG_DESKTOP_DIR=$scratch/desktop
head -c 1048576 /dev/urandom >"$scratch/frame.ram"
step ram-to-rgb "$scratch/frame.ram" "$scratch/frame.tif"
step edit --rotate=1 --white-balance --noise=2 "$scratch/frame.tif" "$scratch/edited.tif"
step dsp-sim A "$scratch/frame.ram" "$scratch/dsp.tif"
step lumin 0.45 "$scratch"
step colour-params
# The camera link against the in-process bench camera.
step --simulate connect
step --simulate status
step --simulate take
# Picture files: the stored sample .kvi (tags and camera attributes), exported as a JPEG at
# 480 x 400 with the camera markers, and its thumbnail as a bitmap.
data=$(dirname "$(readlink -f "$0")")/../tests/data
step info "$data/picture_standard.kvi"
step export "$data/picture_standard.kvi" "$scratch/picture.jpg" --size 3
step info "$scratch/picture.jpg"
step thumb "$data/picture_standard.kvi" "$scratch/thumb.bmp"
# Camera transfers against the bench camera: its picture list, Retrieve Images into a folder
# (wavelet pictures as JPEG, the uncompressed one as .kvi, sound notes as .wav), the memory-card
# variant, and a parameter record read.
step --simulate list
step --simulate retrieve "$scratch/pictures"
step --simulate --camera=card retrieve "$scratch/card" --base Card
ls -l "$scratch/pictures" "$scratch/card"
step --simulate upload dram 0 65536 "$scratch/dram.bin"
# Wavelet codec: a procedural picture made into a .kvi the way the camera delivers a Best
# picture (note section + wavelet stream at about 40 KB), a Standard one, and both decoded.
step test-picture "$scratch/scene.tif" --seed 2
step encode "$scratch/scene.tif" "$scratch/best.kvi" --quality 0 --target-kb 40
step encode "$scratch/scene.tif" "$scratch/standard.kvi" --quality 1
step decode "$scratch/best.kvi" "$scratch/best.bmp"
step decode "$scratch/standard.kvi" "$scratch/standard.jpg"
