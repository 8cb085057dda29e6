#!/bin/sh
# Debian's lsusb (a libusb program we did not write) reads the virtual boards.
# Usage: lsusb_test.sh PATH_TO_VIRTUAL_BUS_LIBRARY [PATH_TO_LUMIVEX_VIRTUAL]
set -u
command -v lsusb >/dev/null 2>&1 || { echo "lsusb is not installed: skipped"; exit 77; }
BUS="$1"
BOARDS="vid=0x04B4,pid=0x00F1,bcd=0x0020,serial=AAAA-BBBB-CCCC;vid=0x52CB,pid=0x03F1,speed=super"
fail=0
check() {  # text pattern description
    if printf '%s\n' "$1" | grep -q -- "$2"; then echo "ok: $3"; else echo "FAIL: $3"; fail=1; fi
}
list=$(LD_PRELOAD="$BUS" LUMIVEX_USB="$BOARDS" lsusb 2>&1)
check "$list" "^Bus 001 Device 002: ID 04b4:00f1" "first board listed with bus, address and ids"
check "$list" "^Bus 001 Device 003: ID 52cb:03f1" "second board listed"
[ "$(printf '%s\n' "$list" | grep -c '^Bus ')" -eq 2 ] && echo "ok: two boards" || { echo "FAIL: board count"; fail=1; }
verbose=$(LD_PRELOAD="$BUS" LUMIVEX_USB="$BOARDS" lsusb -v -d 04b4:00f1 2>&1)
check "$verbose" "idVendor *0x04b4" "device descriptor: vendor"
check "$verbose" "idProduct *0x00f1" "device descriptor: product"
check "$verbose" "bcdDevice *0.20" "device descriptor: bcdDevice"
check "$verbose" "bcdUSB *2.00" "high-speed board"
check "$verbose" "bEndpointAddress *0x82  EP 2 IN" "bulk IN endpoint 0x82"
check "$verbose" "Transfer Type *Bulk" "bulk endpoints"
super=$(LD_PRELOAD="$BUS" LUMIVEX_USB="$BOARDS" lsusb -v -d 52cb:03f1 2>&1)
check "$super" "bcdUSB *3.00" "SuperSpeed board"
check "$super" "wMaxPacketSize *0x0400" "1024-byte packets at SuperSpeed"
if printf '%s\n' "$verbose$super" | grep -q "can't get"; then echo "FAIL: lsusb could not read a descriptor"; fail=1; fi
if [ $# -ge 2 ]; then
    launched=$("$2" --usb-board vid=0x04B4,pid=0x00F1 --usb-board vid=0x52CB,pid=0x52CB -- lsusb 2>&1)
    check "$launched" "^Bus 001 Device 003: ID 52cb:52cb" "lumivex-virtual --usb-board attaches boards"
    # A bad setting ends the program before it runs: status 2 and one line.
    for bad in "--platform foo" "--scene nothere" "--fps 1000" "--faults bogus=1" "--usb-board pid=zz"; do
        # shellcheck disable=SC2086
        refused=$("$2" $bad -- lsusb 2>&1)
        status=$?
        if [ "$status" -eq 2 ] && [ "$(printf '%s\n' "$refused" | grep -c "^lumivex-virtual: bad setting")" -eq 1 ] \
            && ! printf '%s\n' "$refused" | grep -q "^Bus "; then
            echo "ok: lumivex-virtual $bad refused"
        else
            echo "FAIL: lumivex-virtual $bad gave status $status: $refused"; fail=1
        fi
    done
fi
exit $fail
