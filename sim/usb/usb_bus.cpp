#include "usb_bus.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace LumivexSim {

namespace {
using Clock = std::chrono::steady_clock;
constexpr unsigned char kBulkIn = 0x82;
constexpr size_t kPacketBytes = 512;  // the bulk endpoint's packets at high speed
// libusb's own wait when event handling is given no time-out.
constexpr auto kDefaultEventWait = std::chrono::seconds(60);
constexpr auto kLongestSleep = std::chrono::milliseconds(5);

std::string hexBytes(const unsigned char* data, size_t n) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < n && i < 32; ++i) {
        std::snprintf(byte, sizeof byte, "%02X", data[i]);
        if (i) text += ' ';
        text += byte;
    }
    if (n > 32) text += " ...";
    return text;
}

const char* statusName(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return "completed";
        case LIBUSB_TRANSFER_TIMED_OUT: return "timed out";
        case LIBUSB_TRANSFER_CANCELLED: return "cancelled";
        case LIBUSB_TRANSFER_NO_DEVICE: return "no device";
        default: return "error";
    }
}
}  // namespace

UsbBus& UsbBus::instance() {
    static UsbBus* bus = new UsbBus();  // never destroyed: used until exit
    return *bus;
}

UsbBus::UsbBus() {
    std::string text;
    if (const char* boardsText = std::getenv("LUMIVEX_USB")) text = boardsText;
    // lumivex-virtual --replay: a USB recording is replayed by a depth camera
    // of its own, the first on the bus.
    if (const char* path = std::getenv("LUMIVEX_REPLAY"); path != nullptr && *path != '\0') {
        LumivexRecording::Reader recording;
        std::string error;
        if (recording.open(path, error) && recording.header().get("connection") == "USB") {
            if (std::strpbrk(path, ",;") != nullptr) {
                std::fprintf(stderr, "lumivex-virtual: a replayed USB recording's path cannot hold ',' or ';': %s\n", path);
                if (std::getenv("LUMIVEX_SIM_STRICT") != nullptr) _exit(2);
            } else {
                std::string camera = std::string("camera=depth,replay=") + path;
                if (std::getenv("LUMIVEX_REPLAY_FAST") != nullptr) camera += ",replay_fast";
                if (std::getenv("LUMIVEX_REPLAY_LOOP") != nullptr) camera += ",replay_loop";
                text = camera + (text.empty() ? "" : ";" + text);
            }
        }
    }
    if (const char* logPath = std::getenv("LUMIVEX_USB_LOG")) text += std::string(text.empty() ? "" : ";") + "log=" + logPath;
    if (configure(text) == 0) return;
    // Under lumivex-virtual a bad setting ends the program before it runs.
    if (std::getenv("LUMIVEX_SIM_STRICT") != nullptr) _exit(2);
    std::fprintf(stderr, "lumivex virtual USB bus: LUMIVEX_USB ignored\n");
}

int UsbBus::configure(const std::string& text) {
    BusSettings fresh;
    std::string error;
    if (!parseBusSettings(text, fresh, error)) {
        std::fprintf(stderr, "%s: bad setting '%s' (every setting: /usr/share/doc/lumivex-tools/virtual-hardware.md)\n",
                     std::getenv("LUMIVEX_SIM_STRICT") != nullptr ? "lumivex-virtual" : "lumivex virtual USB bus",
                     error.c_str());
        return -1;
    }
    std::lock_guard<std::recursive_mutex> lock(mutex);
    // Boards that open handles still use stay alive, off the bus.
    for (auto& b : boards) retired.push_back(std::move(b));
    for (auto& d : devices) retiredDevices.push_back(std::move(d));
    for (auto& d : retiredDevices) d->board->disconnect();
    boards.clear();
    devices.clear();
    pruneRetired();
    settings = fresh;
    for (size_t i = 0; i < settings.boards.size(); ++i) {
        boards.push_back(std::make_unique<Board>(settings.boards[i]));
        devices.push_back(std::unique_ptr<libusb_device>(
            new libusb_device{boards.back().get(), 1, uint8_t(2 + i), uint8_t(1 + i)}));
    }
    if (logFd >= 0) ::close(logFd);
    logFd = settings.logPath.empty() ? -1
                                     : ::open(settings.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return 0;
}

void UsbBus::log(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::recursive_mutex> lock(mutex);
    events.emplace_back(line);
    while (events.size() > settings.logCapacity) events.pop_front();
    if (logFd >= 0) {
        const std::string text = std::string(line) + "\n";
        if (::write(logFd, text.data(), text.size()) < 0) { /* the file log is best effort */ }
    }
}

void UsbBus::violation(const char* format, ...) {
    char line[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::recursive_mutex> lock(mutex);
    ++violationCount;
    log("VIOLATION %s", line);
}

std::string UsbBus::logText() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    std::string text;
    for (const auto& e : events) text += e + "\n";
    return text;
}

void UsbBus::clearLog() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    events.clear();
}

bool UsbBus::contextAlive(libusb_context* context) {
    if (context == nullptr) return defaultContextRefs > 0;
    return contexts.count(context) > 0;
}

int UsbBus::init(libusb_context** context) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (context == nullptr) {
        ++defaultContextRefs;
        log("init default context (refs %d)", defaultContextRefs);
        return LIBUSB_SUCCESS;
    }
    *context = new libusb_context{false};
    contexts.insert(*context);
    log("init context");
    return LIBUSB_SUCCESS;
}

void UsbBus::exit(libusb_context* context) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (context == nullptr) {
        if (defaultContextRefs == 0) {
            violation("libusb_exit(NULL) without a matching libusb_init");
            return;
        }
        --defaultContextRefs;
        log("exit default context (refs %d)", defaultContextRefs);
    } else {
        if (contexts.erase(context) == 0) {
            violation("libusb_exit of an unknown context");
            return;
        }
        delete context;
        log("exit context");
    }
    for (libusb_device_handle* handle : handles) {
        const bool gone = context == nullptr ? handle->context == nullptr && defaultContextRefs == 0
                                             : handle->context == context;
        if (gone) violation("context exited while a handle on it is open");
    }
}

ssize_t UsbBus::deviceList(libusb_context* context, libusb_device*** list) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (!contextAlive(context)) {
        violation("libusb_get_device_list on a context that is not initialised");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (settings.listFail) {
        log("get_device_list -> error");
        return LIBUSB_ERROR_NO_MEM;
    }
    replugDue();
    std::vector<libusb_device*> present;
    for (auto& d : devices) {
        if (!d->board->disconnected()) present.push_back(d.get());
    }
    auto** out = static_cast<libusb_device**>(std::calloc(present.size() + 1, sizeof(libusb_device*)));
    if (out == nullptr) return LIBUSB_ERROR_NO_MEM;
    for (size_t i = 0; i < present.size(); ++i) {
        out[i] = present[i];
        ++present[i]->refs;
    }
    *list = out;
    log("get_device_list -> %zu", present.size());
    return ssize_t(present.size());
}

void UsbBus::freeDeviceList(libusb_device** list, int unref) {
    if (list == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(mutex);
    for (size_t i = 0; list[i] != nullptr; ++i) {
        if (unref) --list[i]->refs;
    }
    std::free(list);
}

int UsbBus::deviceDescriptor(libusb_device* device, libusb_device_descriptor* descriptor) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (device == nullptr || descriptor == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (device->board->config().descriptorFail) {
        log("get_device_descriptor %04x:%04x -> error", device->board->config().vendorId,
            device->board->config().productId);
        return LIBUSB_ERROR_IO;
    }
    const std::vector<uint8_t> d = device->board->deviceDescriptor();
    descriptor->bLength = d[0];
    descriptor->bDescriptorType = d[1];
    descriptor->bcdUSB = uint16_t(d[2] | d[3] << 8);
    descriptor->bDeviceClass = d[4];
    descriptor->bDeviceSubClass = d[5];
    descriptor->bDeviceProtocol = d[6];
    descriptor->bMaxPacketSize0 = d[7];
    descriptor->idVendor = uint16_t(d[8] | d[9] << 8);
    descriptor->idProduct = uint16_t(d[10] | d[11] << 8);
    descriptor->bcdDevice = uint16_t(d[12] | d[13] << 8);
    descriptor->iManufacturer = d[14];
    descriptor->iProduct = d[15];
    descriptor->iSerialNumber = d[16];
    descriptor->bNumConfigurations = d[17];
    return LIBUSB_SUCCESS;
}

int UsbBus::configDescriptor(libusb_device* device, uint8_t index, libusb_config_descriptor** config) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (device == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
    const std::vector<uint8_t> d = device->board->configDescriptor();
    auto* endpoints = new libusb_endpoint_descriptor[2]();
    for (int e = 0; e < 2; ++e) {
        const uint8_t* p = &d[18 + 7 * size_t(e)];
        endpoints[e] = libusb_endpoint_descriptor{p[0], p[1], p[2], p[3], uint16_t(p[4] | p[5] << 8), p[6], 0, 0,
                                                  nullptr, 0};
    }
    auto* setting = new libusb_interface_descriptor[1]();  // freed as an array of alternate settings
    *setting = libusb_interface_descriptor{d[9], d[10], d[11], d[12], d[13], d[14], d[15], d[16], d[17],
                                           endpoints, nullptr, 0};
    auto* interface = new libusb_interface{setting, 1};
    auto* c = new libusb_config_descriptor();
    *c = libusb_config_descriptor{d[0], d[1], uint16_t(d[2] | d[3] << 8), d[4], d[5], d[6], d[7], d[8],
                                  interface, nullptr, 0};
    *config = c;
    return LIBUSB_SUCCESS;
}

int UsbBus::open(libusb_device* device, libusb_device_handle** handle) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (device == nullptr || handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (defaultContextRefs == 0 && contexts.empty()) {
        violation("libusb_open with no context initialised");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const BoardConfig& c = device->board->config();
    if (device->board->disconnected()) return LIBUSB_ERROR_NO_DEVICE;
    if (c.openFail) {
        log("open %04x:%04x -> access denied", c.vendorId, c.productId);
        return LIBUSB_ERROR_ACCESS;
    }
    // A handle belongs to the default context unless only others are alive.
    libusb_context* context = defaultContextRefs > 0 ? nullptr : *contexts.begin();
    *handle = new libusb_device_handle{device, context, 0};
    ++device->refs;
    handles.insert(*handle);
    log("open %04x:%04x address %u", c.vendorId, c.productId, device->address);
    return LIBUSB_SUCCESS;
}

bool UsbBus::liveHandle(libusb_device_handle* handle) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return handles.count(handle) > 0;
}

void UsbBus::close(libusb_device_handle* handle) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (handle == nullptr) return;
    if (handles.count(handle) == 0) {
        violation("libusb_close of a handle that is not open");
        return;
    }
    for (const Pending& p : pending) {
        if (p.transfer->dev_handle == handle) {
            violation("libusb_close with a transfer in flight");
            break;
        }
    }
    handles.erase(handle);
    --handle->device->refs;
    log("close %04x:%04x", handle->device->board->config().vendorId, handle->device->board->config().productId);
    delete handle;
}

int UsbBus::claim(libusb_device_handle* handle, int interface, bool claimIt) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (handles.count(handle) == 0) {
        violation("interface call on a handle that is not open");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (interface != 0) return LIBUSB_ERROR_NOT_FOUND;
    if (claimIt && handle->device->board->config().busy) {
        log("claim_interface 0 -> busy");
        return LIBUSB_ERROR_BUSY;  // as usbfs answers for an interface another process claimed
    }
    if (claimIt) {
        // usbfs: an interface another handle (of this program or another) has
        // claimed stays its own until released or closed.
        for (libusb_device_handle* other : handles) {
            if (other != handle && other->device == handle->device && (other->claimed & 1)) {
                log("claim_interface 0 -> busy (claimed through another handle)");
                return LIBUSB_ERROR_BUSY;
            }
        }
        handle->claimed |= 1;
        log("claim_interface 0");
        return LIBUSB_SUCCESS;
    }
    if (!(handle->claimed & 1)) return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed &= ~1u;
    log("release_interface 0");
    return LIBUSB_SUCCESS;
}

int UsbBus::control(libusb_device_handle* handle, uint8_t requestType, uint8_t request, uint16_t value,
                    uint16_t index, unsigned char* data, uint16_t length, unsigned int timeoutMs) {
    int delayMs = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (handles.count(handle) == 0) {
            violation("libusb_control_transfer on a handle that is not open");
            return LIBUSB_ERROR_NO_DEVICE;
        }
        if (length > 0 && data == nullptr) {
            violation("libusb_control_transfer with a null buffer");
            return LIBUSB_ERROR_INVALID_PARAM;
        }
        const BoardConfig& c = handle->device->board->config();
        if ((requestType & 0x60) == 0x40 && (c.controlDelayRequest < 0 || c.controlDelayRequest == request))
            delayMs = c.controlDelayMs;
    }
    // The request takes its time on the bus; libusb handles events meanwhile
    // and gives up at the time-out (0: none).
    if (delayMs > 0) {
        const bool timesOut = timeoutMs > 0 && unsigned(delayMs) > timeoutMs;
        const auto until = Clock::now() + std::chrono::milliseconds(timesOut ? timeoutMs : unsigned(delayMs));
        while (Clock::now() < until) {
            handleEventsInPassing();
            std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), kLongestSleep));
        }
        if (timesOut) {
            log("ctrl bmRequestType=0x%02X bRequest=0x%02X wValue=0x%04X wIndex=0x%04X wLength=%u -> timed out",
                requestType, request, value, index, length);
            return LIBUSB_ERROR_TIMEOUT;
        }
    }
    // Bulk data flows while the request waits its turn on the bus.
    handleEventsInPassing();
    int result;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (handles.count(handle) == 0) return LIBUSB_ERROR_NO_DEVICE;
        const bool in = requestType & 0x80;
        std::string outData = in ? "" : hexBytes(data, length);
        result = handle->device->board->control(requestType, request, value, index, data, length);
        const std::string shown = in ? (result > 0 ? hexBytes(data, size_t(result)) : "") : outData;
        log("ctrl bmRequestType=0x%02X bRequest=0x%02X wValue=0x%04X wIndex=0x%04X wLength=%u data=[%s] -> %d",
            requestType, request, value, index, length, shown.c_str(), result);
    }
    handleEventsInPassing();
    return result;
}

int UsbBus::clearHalt(libusb_device_handle* handle, unsigned char endpoint) {
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (handles.count(handle) == 0) {
            violation("libusb_clear_halt on a handle that is not open");
            return LIBUSB_ERROR_NO_DEVICE;
        }
        Board* board = handle->device->board;
        if (board->disconnected()) return LIBUSB_ERROR_NO_DEVICE;
        if (endpoint != kBulkIn && endpoint != 0x01) return LIBUSB_ERROR_NOT_FOUND;
        if (endpoint == kBulkIn) board->clearHalt();
        log("clear_halt 0x%02X", endpoint);
    }
    handleEventsInPassing();  // a synchronous control request
    return LIBUSB_SUCCESS;
}

libusb_transfer* UsbBus::allocTransfer(int isoPackets) {
    if (isoPackets < 0) return nullptr;
    const size_t size = sizeof(libusb_transfer) + size_t(isoPackets) * sizeof(libusb_iso_packet_descriptor);
    auto* transfer = static_cast<libusb_transfer*>(std::calloc(1, size));
    if (transfer == nullptr) return nullptr;
    transfer->num_iso_packets = isoPackets;
    std::lock_guard<std::recursive_mutex> lock(mutex);
    allocated.insert(transfer);
    return transfer;
}

void UsbBus::freeTransfer(libusb_transfer* transfer) {
    if (transfer == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (allocated.count(transfer) == 0) {
        violation("libusb_free_transfer of a transfer not allocated (or freed twice)");
        return;
    }
    for (const Pending& p : pending) {
        if (p.transfer == transfer) {
            violation("libusb_free_transfer of a transfer in flight");
            return;  // left allocated: freeing it would crash a real program
        }
    }
    allocated.erase(transfer);
    if (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(transfer->buffer);
    std::free(transfer);
}

int UsbBus::submit(libusb_transfer* transfer) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (transfer == nullptr || allocated.count(transfer) == 0) {
        violation("libusb_submit_transfer of a transfer not allocated");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    for (const Pending& p : pending) {
        if (p.transfer == transfer) return LIBUSB_ERROR_BUSY;
    }
    if (handles.count(transfer->dev_handle) == 0) {
        violation("libusb_submit_transfer on a handle that is not open");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK || transfer->endpoint != kBulkIn) return LIBUSB_ERROR_NOT_SUPPORTED;
    if (transfer->length < 0 || (transfer->length > 0 && transfer->buffer == nullptr)) return LIBUSB_ERROR_INVALID_PARAM;
    if (transfer->dev_handle->device->board->disconnected()) return LIBUSB_ERROR_NO_DEVICE;
    if (transfer->dev_handle->device->board->refusesSubmission()) {
        log("submit -> no memory");
        return LIBUSB_ERROR_NO_MEM;
    }
    pending.push_back(Pending{transfer, Clock::now(), false});
    return LIBUSB_SUCCESS;
}

int UsbBus::cancel(libusb_transfer* transfer) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    for (Pending& p : pending) {
        if (p.transfer != transfer) continue;
        if (p.cancelled) return LIBUSB_ERROR_NOT_FOUND;
        p.cancelled = true;
        return LIBUSB_SUCCESS;
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

std::vector<libusb_transfer*> UsbBus::completeReady(Clock::time_point now, Clock::time_point& wake) {
    std::vector<libusb_transfer*> done;
    std::lock_guard<std::recursive_mutex> lock(mutex);
    // Transfers complete in order on the endpoint; any of them may time out
    // or be cancelled on its own. Only those pending now take part: a
    // transfer resubmitted by a callback waits for the next round.
    std::set<Board*> waitingForData;
    for (auto it = pending.begin(); it != pending.end();) {
        libusb_transfer* t = it->transfer;
        Board* board = t->dev_handle->device->board;
        const BoardConfig& c = board->config();
        libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
        bool finished = true;
        // What arrived before a cancel, an error or a time-out stays in it.
        t->actual_length = int(it->filled);
        const size_t room = size_t(t->length) - it->filled;
        uint8_t* const free = t->buffer + it->filled;
        const bool stalled = c.timeoutAfter >= 0 && board->transfersCompleted >= c.timeoutAfter;
        const auto expires = it->submitted + std::chrono::milliseconds(t->timeout);
        const bool behind = waitingForData.count(board) > 0;  // an earlier transfer still waits
        if (it->cancelled) {
            status = LIBUSB_TRANSFER_CANCELLED;
        } else if (board->disconnected()) {
            status = LIBUSB_TRANSFER_NO_DEVICE;
        } else if (board->halted()) {
            status = LIBUSB_TRANSFER_STALL;  // until libusb_clear_halt
        } else if (!behind && board->transfersCompleted == c.disconnectAt) {
            board->disconnect();
            status = LIBUSB_TRANSFER_NO_DEVICE;
            ++board->transfersCompleted;
        } else if (!behind && (board->transfersCompleted == c.errorAt || board->takeInjectedError())) {
            status = LIBUSB_TRANSFER_ERROR;
            ++board->transfersCompleted;
        } else if (!behind && board->transfersCompleted == c.haltAt) {
            board->halt();
            status = LIBUSB_TRANSFER_STALL;
            ++board->transfersCompleted;
        } else if (!behind && board->takeZeroLengthPacket()) {
            ++board->transfersCompleted;  // completed with no data
        } else if (const size_t n = !behind && !stalled ? board->bulkReady(room, now) : 0) {
            board->bulkTake(free, n, room);
            t->actual_length = int(it->filled + n);
            ++board->transfersCompleted;
        } else if (t->timeout > 0 && now >= expires) {
            // A time-out carries whatever the board had sent by then.
            status = LIBUSB_TRANSFER_TIMED_OUT;
            const size_t n = !behind && !stalled ? board->bulkPartial(room) : 0;
            if (n > 0) board->bulkTake(free, n, room);
            t->actual_length = int(it->filled + n);
            ++board->transfersCompleted;
        } else {
            finished = false;
            // The first transfer waiting takes the whole packets sent so far:
            // they are on the host, beyond a later stop or capture reset.
            const size_t sent = !behind && !stalled ? board->bulkPartial(room) / kPacketBytes * kPacketBytes : 0;
            if (sent > 0) {
                board->bulkTake(free, sent, room);
                it->filled += sent;
            }
        }
        if (!finished) {
            waitingForData.insert(board);
            if (t->timeout > 0) wake = std::min(wake, expires);
            if (board->streaming() && !stalled) wake = std::min(wake, board->nextFrameDue());
        }
        if (finished) {
            t->status = status;
            done.push_back(t);
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
    for (libusb_transfer* t : done) {
        log("bulk 0x%02X length=%d -> %s %d", t->endpoint, t->length, statusName(t->status), t->actual_length);
    }
    return done;
}

bool UsbBus::insideEventHandling() { return eventOwner.load() == std::this_thread::get_id(); }

void UsbBus::handleEventsInPassing() {
    if (insideEventHandling() || !eventLock.try_lock()) return;
    eventOwner.store(std::this_thread::get_id());
    auto wake = Clock::now();
    for (libusb_transfer* t : completeReady(Clock::now(), wake)) {
        if (t->callback != nullptr) t->callback(t);
    }
    eventOwner.store(std::thread::id());
    eventLock.unlock();
}

int UsbBus::handleEvents(libusb_context* context, const timeval* timeout, int* completed) {
    const auto start = Clock::now();
    const auto deadline =
        timeout == nullptr ? start + kDefaultEventWait
                           : start + std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec);
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!contextAlive(context)) {
            violation("event handling on a context that is not initialised");
            return LIBUSB_ERROR_INVALID_PARAM;
        }
    }
    if (insideEventHandling()) return LIBUSB_ERROR_BUSY;  // called from a callback
    if (!eventLock.try_lock()) {
        // Another thread handles events (and runs this thread's callbacks
        // too): wait for its round to end, as libusb does.
        while (Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (eventLock.try_lock()) {
                eventLock.unlock();
                break;
            }
        }
        return LIBUSB_SUCCESS;
    }
    eventOwner.store(std::this_thread::get_id());
    for (;;) {
        auto wake = deadline;
        const std::vector<libusb_transfer*> done = completeReady(Clock::now(), wake);
        for (libusb_transfer* t : done) {
            if (t->callback != nullptr) t->callback(t);
        }
        const auto now = Clock::now();
        if (!done.empty() || (completed != nullptr && *completed) || now >= deadline) break;
        std::this_thread::sleep_until(std::min(std::max(wake, now), now + kLongestSleep));
    }
    eventOwner.store(std::thread::id());
    eventLock.unlock();
    return LIBUSB_SUCCESS;
}

int UsbBus::stringAscii(libusb_device_handle* handle, uint8_t index, unsigned char* data, int length) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (handles.count(handle) == 0) {
        violation("string descriptor read on a handle that is not open");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (index == 0 || data == nullptr || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    const std::string text = handle->device->board->stringDescriptor(index);
    if (text.empty()) return LIBUSB_ERROR_PIPE;
    const int n = std::min<int>(int(text.size()), length - 1);
    std::memcpy(data, text.data(), size_t(n));
    data[n] = 0;
    return n;
}

int UsbBus::openHandles() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return int(handles.size());
}
int UsbBus::defaultRefs() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return defaultContextRefs;
}
int UsbBus::violations() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return violationCount;
}
int UsbBus::transfersInFlight() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return int(pending.size());
}
int UsbBus::transfersAllocated() {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return int(allocated.size());
}
void UsbBus::replugDue() {
    for (size_t i = 0; i < boards.size(); ++i) {
        if (boards[i]->dueBack()) replug(int(i));
    }
}

int UsbBus::replug(int index) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (index < 0 || size_t(index) >= boards.size() || !boards[size_t(index)]->disconnected()) return -1;
    BoardConfig config = boards[size_t(index)]->config();
    // Plugged in again, the board starts afresh: its faults were the cable's.
    config.errorAt = config.disconnectAt = config.haltAt = config.timeoutAfter = config.submitFailAt = -1;
    const uint8_t port = devices[size_t(index)]->port;
    // Handles still open on the old device keep it (and its board), off the bus.
    retired.push_back(std::move(boards[size_t(index)]));
    retiredDevices.push_back(std::move(devices[size_t(index)]));
    boards[size_t(index)] = std::make_unique<Board>(config);
    devices[size_t(index)].reset(new libusb_device{boards[size_t(index)].get(), 1, nextAddress++, port});
    log("replug %04x:%04x", config.vendorId, config.productId);
    pruneRetired();
    return 0;
}

void UsbBus::pruneRetired() {
    for (auto it = retiredDevices.begin(); it != retiredDevices.end();) {
        libusb_device* device = it->get();
        bool inUse = device->refs > 1;  // the bus's own reference, and no other
        for (libusb_device_handle* handle : handles) inUse = inUse || handle->device == device;
        if (inUse) {
            ++it;
            continue;
        }
        const Board* board = device->board;
        retired.erase(std::remove_if(retired.begin(), retired.end(),
                                     [board](const std::unique_ptr<Board>& b) { return b.get() == board; }),
                      retired.end());
        it = retiredDevices.erase(it);
    }
}

Board* UsbBus::board(int index) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return index >= 0 && size_t(index) < boards.size() ? boards[size_t(index)].get() : nullptr;
}

}  // namespace LumivexSim
