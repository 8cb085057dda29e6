/* Control of the virtual USB bus from tests and tools (the library is
 * preloaded or linked in place of libusb). */
#ifndef LUMIVEX_VUSB_CONTROL_H
#define LUMIVEX_VUSB_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the boards (and bus settings) with `settings` (see sim/README.md);
 * 0, or -1 for a setting it does not know. Open handles keep their boards. */
int lumivex_vusb_configure(const char* settings);
/* The in-memory log, NUL-terminated when size > 0; returns its full length. */
size_t lumivex_vusb_log(char* buffer, size_t size);
void lumivex_vusb_clear_log(void);
int lumivex_vusb_open_handles(void);
int lumivex_vusb_default_context_refs(void);
/* Calls that real libusb would refuse or crash on (each is logged). */
int lumivex_vusb_violations(void);
int lumivex_vusb_transfers_in_flight(void);
int lumivex_vusb_transfers_allocated(void);
/* A register of the device at I2C `address` on board `board` (0-based). */
int lumivex_vusb_register(int board, uint32_t address, uint32_t reg, uint32_t* value);
int lumivex_vusb_set_register(int board, uint32_t address, uint32_t reg, uint32_t value);
/* The board halts its bulk IN endpoint (a stall): every transfer on it fails
 * until the host calls libusb_clear_halt. */
int lumivex_vusb_halt(int board);
/* The board leaves the bus, as when its cable is pulled. */
int lumivex_vusb_disconnect(int board);
/* A board that left the bus comes back, as when its cable is plugged in
 * again: a new device with the same settings (their faults cleared). -1 if
 * it has not left. */
int lumivex_vusb_replug(int board);
/* The board's next bulk transfer fails (LIBUSB_TRANSFER_ERROR), as on
 * electrical noise. */
int lumivex_vusb_error(int board);

#ifdef __cplusplus
}
#endif

#endif
