// The virtual USB bus behind the libusb API: contexts, devices, handles,
// transfers and their completion inside event handling, with a log of every
// request and a count of the calls real libusb would refuse.
#pragma once

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "usb_board.h"
#include "usb_config.h"

// The opaque libusb types, as this bus defines them.
struct libusb_context {
    bool isDefault;
};
struct libusb_device {
    LumivexSim::Board* board;
    int refs;
    uint8_t address;
    uint8_t port;
};
struct libusb_device_handle {
    libusb_device* device;
    libusb_context* context;
    uint32_t claimed;
};

namespace LumivexSim {

class UsbBus {
public:
    static UsbBus& instance();

    int configure(const std::string& settings);
    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void violation(const char* format, ...) __attribute__((format(printf, 2, 3)));
    std::string logText();
    void clearLog();

    // The API surface (libusb_api.cpp forwards here).
    int init(libusb_context** context);
    void exit(libusb_context* context);
    ssize_t deviceList(libusb_context* context, libusb_device*** list);
    void freeDeviceList(libusb_device** list, int unref);
    int deviceDescriptor(libusb_device* device, libusb_device_descriptor* descriptor);
    int configDescriptor(libusb_device* device, uint8_t index, libusb_config_descriptor** config);
    int open(libusb_device* device, libusb_device_handle** handle);
    void close(libusb_device_handle* handle);
    int claim(libusb_device_handle* handle, int interface, bool claim);
    int control(libusb_device_handle* handle, uint8_t requestType, uint8_t request, uint16_t value,
                uint16_t index, unsigned char* data, uint16_t length, unsigned int timeoutMs);
    int clearHalt(libusb_device_handle* handle, unsigned char endpoint);
    libusb_transfer* allocTransfer(int isoPackets);
    void freeTransfer(libusb_transfer* transfer);
    int submit(libusb_transfer* transfer);
    int cancel(libusb_transfer* transfer);
    int handleEvents(libusb_context* context, const timeval* timeout, int* completed);
    bool liveHandle(libusb_device_handle* handle);
    int stringAscii(libusb_device_handle* handle, uint8_t index, unsigned char* data, int length);

    // Control.
    int openHandles();
    int defaultRefs();
    int violations();
    int transfersInFlight();
    int transfersAllocated();
    Board* board(int index);
    // The board at `index`, gone from the bus, comes back as a new device
    // (a new address; the same settings, without their faults): -1 if it is
    // not gone.
    int replug(int index);

private:
    void replugDue();  // boards whose replug_after has passed
    // Frees retired devices (and their boards) that nothing references any
    // more, so that a bus re-plugged for hours stays flat.
    void pruneRetired();
    UsbBus();
    bool contextAlive(libusb_context* context);
    // One round of event handling: completes every pending transfer that can
    // complete at `now` (under the bus lock) and lowers `wake` to when the
    // next one may; the caller runs their callbacks.
    std::vector<libusb_transfer*> completeReady(std::chrono::steady_clock::time_point now,
                                                std::chrono::steady_clock::time_point& wake);
    // As a synchronous libusb call does while it waits: completions that are
    // ready run their callbacks here, unless another thread handles events
    // (or this thread is inside a callback).
    void handleEventsInPassing();
    bool insideEventHandling();
    struct Pending {
        libusb_transfer* transfer;
        std::chrono::steady_clock::time_point submitted;
        bool cancelled;
        // Bytes the board has sent into it so far: the host controller fills
        // a transfer as packets arrive, not when it completes.
        size_t filled = 0;
    };

    std::recursive_mutex mutex;
    // libusb's event lock: one thread at a time handles events and runs
    // callbacks (of every device on the context); the others wait for it.
    std::mutex eventLock;
    std::atomic<std::thread::id> eventOwner{};
    BusSettings settings;
    std::vector<std::unique_ptr<Board>> boards;
    std::vector<std::unique_ptr<Board>> retired;  // boards of an earlier configuration
    std::vector<std::unique_ptr<libusb_device>> devices;
    std::vector<std::unique_ptr<libusb_device>> retiredDevices;
    uint8_t nextAddress = 64;  // of re-plugged boards
    int defaultContextRefs = 0;
    libusb_context defaultContext{true};
    std::set<libusb_context*> contexts;
    std::set<libusb_device_handle*> handles;
    std::set<libusb_transfer*> allocated;
    std::deque<Pending> pending;
    std::deque<std::string> events;
    int violationCount = 0;
    int logFd = -1;
};

}  // namespace LumivexSim
