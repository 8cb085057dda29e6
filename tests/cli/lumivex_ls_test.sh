#!/bin/sh
# lumivex-ls on virtual hardware: the CSI camera of each kind of host (with
# the sensor's sub-device on a Raspberry Pi), USB boards with serial and
# firmware, a board another program holds listed undisturbed; text and JSON.
# Usage: lumivex_ls_test.sh BIN_DIR PYTHON
set -u
BIN="$1" PYTHON="$2"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail=0
"$BIN/lumivex-virtual" --platform rpi5 --usb --usb-board pid=0x00F1,serial=BOARD-TWO,fw=0x0315 \
    --usb-board pid=0x00F1,serial=HELD,busy --usb-log "$WORK/usb.log" -- "$BIN/lumivex-ls" --json > "$WORK/rpi5.json"
"$BIN/lumivex-virtual" --platform xavier -- "$BIN/lumivex-ls" --json > "$WORK/xavier.json"
"$BIN/lumivex-virtual" --platform rpi5 --usb -- "$BIN/lumivex-ls" > "$WORK/text"
"$BIN/lumivex-virtual" --platform generic --faults video_open_fail -- "$BIN/lumivex-ls" > "$WORK/none"
"$PYTHON" - "$WORK" <<'PY' || fail=1
import json, sys
work = sys.argv[1]
failures = 0
def check(ok, what):
    global failures
    print(("ok: " if ok else "FAIL: ") + what)
    failures += not ok
pi = json.load(open(work + "/rpi5.json"))
check(pi["host_platform"] == "Raspberry Pi 5", "the host platform")
check(len(pi["csi"]) == 1 and pi["csi"][0]["node"] == "/dev/video0" and pi["csi"][0]["format"] == "Y12P"
      and pi["csi"][0]["open"] == ["CSI", 0], "the CSI camera, its format and open arguments")
check(pi["csi"][0]["sensor"] == "lumivex-sorvantic 10-0010" and pi["csi"][0]["sensor_node"].startswith("/dev/v4l-subdev"),
      "the sensor's sub-device on a Raspberry Pi")
usb = pi["usb"]
check([b["open"] for b in usb] == [["USB", 0], ["USB", 1], ["USB", 2]], "three USB boards with their open arguments")
check(usb[0]["product_id"] == "03f2" and usb[0]["serial"] == "LMVXT0F00001" and usb[0]["firmware"] == "3.14"
      and usb[0]["usb_type"] == 4 and usb[0]["speed"] == "high", "the depth camera: ids, serial, firmware, type, speed")
check(usb[1]["serial"] == "BOARD-TWO" and usb[1]["firmware"] == "3.15" and not usb[1]["busy"], "a second board")
check(usb[2]["busy"] and usb[2]["serial"] is None and usb[2]["firmware"] is None and usb[2]["bus"] == 1,
      "a board another program holds: from its descriptors, marked busy")
log = open(work + "/usb.log").read()
check(log.count("ctrl ") == 4, "the busy board got no request (%d requests in all)" % log.count("ctrl "))
xavier = json.load(open(work + "/xavier.json"))
check(xavier["host_platform"] == "Jetson Xavier" and xavier["csi"][0]["format"] == "Y12"
      and xavier["csi"][0]["sensor"] is None and xavier["usb"] == [], "a Jetson: Y12, no sub-device, no USB board")
text = open(work + "/text").read()
check("open(TOFConnect.CSI, 0)" in text and "open(TOFConnect.USB, 0)" in text
      and "serial LMVX-T0F0-0001 (LMVXT0F00001)" in text, "the text listing, the serial as the camera prints it too")
none = open(work + "/none").read().splitlines()
check(none == ["CSI cameras (host: generic):",
               "  none (no /dev/video0 to /dev/video63 capture node takes 240 x 180 Y12 or Y12P)",
               "USB boards:",
               "  none (no board with the maker's vendor ids 04b4 or 52cb on any USB bus)",
               "No camera found. Without one, the virtual cameras show what the SDK does:",
               "  lumivex-virtual --usb -- lumivex-ls"], "no camera: what was searched, and the virtual cameras")
sys.exit(1 if failures else 0)
PY
"$BIN/lumivex-ls" --bogus > /dev/null 2>&1
[ $? -eq 2 ] && echo "ok: an unknown argument is refused" || { echo "FAIL: unknown argument"; fail=1; }
"$BIN/lumivex-ls" --help | grep -q "^usage: lumivex-ls" && echo "ok: --help" || { echo "FAIL: --help"; fail=1; }
exit $fail
