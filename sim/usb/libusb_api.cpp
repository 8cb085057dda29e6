// The libusb-1.0 API (the signatures of <libusb-1.0/libusb.h>) served by the
// virtual bus. Loaded ahead of the real library (LD_PRELOAD, or linked into a
// test before it), so every program using libusb sees the virtual boards.
#include <libusb-1.0/libusb.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "usb_bus.h"
#include "vusb_control.h"

using LumivexSim::UsbBus;

namespace {
UsbBus& bus() { return UsbBus::instance(); }

// Under lumivex-virtual the boards are read as the program loads, so that a
// bad setting is refused at once, whatever the program does.
__attribute__((constructor)) void readSettingsAtLoad() {
    if (std::getenv("LUMIVEX_SIM_STRICT") != nullptr) bus();
}

struct ErrorText {
    int code;
    const char* name;
    const char* text;
};
const ErrorText kErrors[] = {
    {LIBUSB_SUCCESS, "LIBUSB_SUCCESS", "Success"},
    {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO", "Input/Output Error"},
    {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM", "Invalid parameter"},
    {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS", "Access denied (insufficient permissions)"},
    {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE", "No such device (it may have been disconnected)"},
    {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND", "Entity not found"},
    {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY", "Resource busy"},
    {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT", "Operation timed out"},
    {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW", "Overflow"},
    {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE", "Pipe error"},
    {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED", "System call interrupted (perhaps due to signal)"},
    {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM", "Insufficient memory"},
    {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED", "Operation not supported or unimplemented on this platform"},
    {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER", "Other error"},
};

const ErrorText* findError(int code) {
    for (const auto& e : kErrors) {
        if (e.code == code) return &e;
    }
    return nullptr;
}
}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) { return bus().init(ctx); }
void LIBUSB_CALL libusb_exit(libusb_context* ctx) { bus().exit(ctx); }
void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}
int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) { return LIBUSB_SUCCESS; }
int LIBUSB_CALL libusb_has_capability(uint32_t) { return 0; }

const char* LIBUSB_CALL libusb_error_name(int code) {
    const ErrorText* e = findError(code);
    return e != nullptr ? e->name : "**UNKNOWN**";
}

const char* LIBUSB_CALL libusb_strerror(int code) {
    const ErrorText* e = findError(code);
    return e != nullptr ? e->text : "Unknown error";
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    return bus().deviceList(ctx, list);
}
void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref) { bus().freeDeviceList(list, unref); }
libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    if (dev != nullptr) ++dev->refs;
    return dev;
}
void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (dev != nullptr) --dev->refs;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    return bus().deviceDescriptor(dev, desc);
}
int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t index, struct libusb_config_descriptor** config) {
    return bus().configDescriptor(dev, index, config);
}
int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config) {
    return bus().configDescriptor(dev, 0, config);
}
void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    if (config == nullptr) return;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) delete[] interface.altsetting[a].endpoint;
        delete[] interface.altsetting;
    }
    delete config->interface;
    delete config;
}
int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* dev, int* config) {
    if (!bus().liveHandle(dev)) return LIBUSB_ERROR_NO_DEVICE;
    if (config != nullptr) *config = 1;
    return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return 1; }
uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) { return dev != nullptr ? dev->port : 0; }
int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int length) {
    if (dev == nullptr || ports == nullptr || length < 1) return LIBUSB_ERROR_OVERFLOW;
    ports[0] = dev->port;
    return 1;
}
libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) { return nullptr; }
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) { return dev != nullptr ? dev->address : 0; }
int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev) {
    return dev != nullptr ? dev->board->config().speed : LIBUSB_SPEED_UNKNOWN;
}
int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    if (dev == nullptr || (endpoint != 0x82 && endpoint != 0x01)) return LIBUSB_ERROR_NOT_FOUND;
    const int speed = dev->board->config().speed;
    return speed >= 4 ? 1024 : speed == 3 ? 512 : 64;
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) { return bus().open(dev, handle); }
void LIBUSB_CALL libusb_close(libusb_device_handle* handle) { bus().close(handle); }
libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
    return handle != nullptr ? handle->device : nullptr;
}
int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface) {
    return bus().claim(handle, interface, true);
}
int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface) {
    return bus().claim(handle, interface, false);
}
int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
    return bus().clearHalt(handle, endpoint);
}
int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }
int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle*, int) { return 0; }

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                        unsigned int timeout) {
    const int result = bus().control(handle, requestType, request, value, index, data, length, timeout);
    if (result == LIBUSB_ERROR_PIPE) errno = EPIPE;  // as the kernel leaves it after a stall
    return result;
}

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) { return bus().allocTransfer(isoPackets); }
void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer) { bus().freeTransfer(transfer); }
int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* transfer) { return bus().submit(transfer); }
int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* transfer) { return bus().cancel(transfer); }

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) { return bus().handleEvents(ctx, nullptr, nullptr); }
int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
    return bus().handleEvents(ctx, nullptr, completed);
}
int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    return bus().handleEvents(ctx, tv, nullptr);
}
int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv, int* completed) {
    return bus().handleEvents(ctx, tv, completed);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                                   int length) {
    return bus().stringAscii(handle, index, data, length);
}

// ---- control of the virtual bus ----

int lumivex_vusb_configure(const char* settings) { return bus().configure(settings != nullptr ? settings : ""); }

size_t lumivex_vusb_log(char* buffer, size_t size) {
    const std::string text = bus().logText();
    if (buffer != nullptr && size > 0) {
        const size_t n = text.size() < size - 1 ? text.size() : size - 1;
        text.copy(buffer, n);
        buffer[n] = '\0';
    }
    return text.size();
}

void lumivex_vusb_clear_log(void) { bus().clearLog(); }
int lumivex_vusb_open_handles(void) { return bus().openHandles(); }
int lumivex_vusb_default_context_refs(void) { return bus().defaultRefs(); }
int lumivex_vusb_violations(void) { return bus().violations(); }
int lumivex_vusb_transfers_in_flight(void) { return bus().transfersInFlight(); }
int lumivex_vusb_transfers_allocated(void) { return bus().transfersAllocated(); }

int lumivex_vusb_register(int board, uint32_t address, uint32_t reg, uint32_t* value) {
    LumivexSim::Board* b = bus().board(board);
    if (b == nullptr || value == nullptr) return -1;
    auto& map = b->registers(address);
    auto found = map.find(reg);
    *value = found == map.end() ? 0 : found->second;
    return 0;
}

int lumivex_vusb_set_register(int board, uint32_t address, uint32_t reg, uint32_t value) {
    LumivexSim::Board* b = bus().board(board);
    if (b == nullptr) return -1;
    b->registers(address)[reg] = value;
    return 0;
}

int lumivex_vusb_halt(int board) {
    LumivexSim::Board* b = bus().board(board);
    if (b == nullptr) return -1;
    b->halt();
    return 0;
}

int lumivex_vusb_disconnect(int board) {
    LumivexSim::Board* b = bus().board(board);
    if (b == nullptr) return -1;
    b->disconnect();
    return 0;
}

int lumivex_vusb_replug(int board) { return bus().replug(board); }

int lumivex_vusb_error(int board) {
    LumivexSim::Board* b = bus().board(board);
    if (b == nullptr) return -1;
    b->injectError();
    return 0;
}

}  // extern "C"
