// The board model as a real USB device: a FunctionFS function of a Linux USB
// gadget. The host side is the kernel's own USB stack and libusb, so the
// library meets real completion timing, real halts and real unplugs.
//
//   lumivex-ffs-board FFS_DIR SETTINGS
//
// FFS_DIR is where the function's FunctionFS instance is mounted; SETTINGS is
// one board in the virtual bus's syntax (sim/README.md). The gadget itself
// (ids, strings, configuration, binding to a device controller) is set up in
// configfs by the caller, with the ids the settings give.
//
// The interface declares four bulk IN endpoints: the kernel's dummy_hcd
// controller hands out 0x81, 0x86 and 0x8B first, so the fourth is 0x82,
// where the library reads the stream. Vendor requests to the device reach
// this function (FUNCTIONFS_ALL_CTRL_RECIP) and go to the board model.
// SIGUSR1 halts bulk IN 0x82 (the board stops streaming until the host starts
// it again); unbinding the gadget (an unplug) stops the stream and empties the
// board's queue, as a board losing its power; SIGTERM ends the program.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb_board.h"
#include "usb_config.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kEndpoints = 4;            // three idle, then the stream's
constexpr size_t kWriteBytes = 16384;    // a multiple of every packet size: no short packet
constexpr size_t kPacket = 512;

std::atomic<bool> haltRequested{false};

void onHaltSignal(int) { haltRequested.store(true); }

struct __attribute__((packed)) InterfaceDescriptors {
    usb_interface_descriptor interface;
    usb_endpoint_descriptor_no_audio endpoints[kEndpoints];
};

struct __attribute__((packed)) Descriptors {
    usb_functionfs_descs_head_v2 header;
    uint32_t fullSpeedCount;
    uint32_t highSpeedCount;
    InterfaceDescriptors fullSpeed;
    InterfaceDescriptors highSpeed;
};

InterfaceDescriptors interfaceDescriptors(uint16_t maxPacket) {
    InterfaceDescriptors d{};
    d.interface.bLength = sizeof d.interface;
    d.interface.bDescriptorType = USB_DT_INTERFACE;
    d.interface.bNumEndpoints = kEndpoints;
    d.interface.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    d.interface.iInterface = 1;
    for (int i = 0; i < kEndpoints; ++i) {
        auto& e = d.endpoints[i];
        e.bLength = sizeof e;
        e.bDescriptorType = USB_DT_ENDPOINT;
        e.bEndpointAddress = uint8_t(USB_DIR_IN | (i + 1));
        e.bmAttributes = USB_ENDPOINT_XFER_BULK;
        e.wMaxPacketSize = htole16(maxPacket);
    }
    return d;
}

bool writeDescriptors(int ep0) {
    Descriptors d{};
    d.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    d.header.length = htole32(sizeof d);
    d.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    d.fullSpeedCount = htole32(1 + kEndpoints);
    d.highSpeedCount = htole32(1 + kEndpoints);
    d.fullSpeed = interfaceDescriptors(64);
    d.highSpeed = interfaceDescriptors(512);
    if (write(ep0, &d, sizeof d) != ssize_t(sizeof d)) return false;
    static const char kName[] = "Lumivex board";
    struct __attribute__((packed)) {
        usb_functionfs_strings_head head;
        uint16_t language;
        char text[sizeof kName];
    } strings{};
    strings.head.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    strings.head.length = htole32(sizeof strings);
    strings.head.str_count = htole32(1);
    strings.head.lang_count = htole32(1);
    strings.language = htole16(0x0409);
    std::memcpy(strings.text, kName, sizeof kName);
    return write(ep0, &strings, sizeof strings) == ssize_t(sizeof strings);
}

class GadgetBoard {
public:
    GadgetBoard(const LumivexSim::BoardConfig& config, int ep0, int streamEndpoint)
        : board(config), ep0(ep0), stream(streamEndpoint) {}

    // ep0: setup requests go to the board model; the host may give up on a
    // request meanwhile (EIDRM), which the board shrugs off.
    void serveControl() {
        usb_functionfs_event events[4];
        for (;;) {
            const ssize_t n = read(ep0, events, sizeof events);
            if (n < 0) {
                if (errno == EINTR || errno == EIDRM) continue;
                std::perror("lumivex-ffs-board: ep0");
                return;
            }
            for (size_t i = 0; i < size_t(n) / sizeof events[0]; ++i) {
                if (events[i].type == FUNCTIONFS_SETUP) setup(events[i].u.setup);
                if (events[i].type == FUNCTIONFS_UNBIND) unplugged();
            }
        }
    }

    // Bulk IN: the board's stream, written as the host takes it.
    void serveStream() {
        std::vector<uint8_t> buffer(kWriteBytes);
        long startsAtHalt = -1;
        for (;;) {
            if (haltRequested.exchange(false)) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    board.stopStream();
                    startsAtHalt = board.streamStarts();
                }
                char byte;
                // I/O against the endpoint's direction makes FunctionFS halt it.
                if (read(stream, &byte, 1) < 0 && errno != EBADMSG) std::perror("lumivex-ffs-board: halt");
                std::fprintf(stderr, "lumivex-ffs-board: bulk IN halted\n");
                continue;
            }
            size_t n = 0;
            Clock::time_point wake;
            long unplugsBefore;
            {
                std::lock_guard<std::mutex> lock(mutex);
                unplugsBefore = unplugs;
                const auto now = Clock::now();
                if (startsAtHalt < 0 || board.streamStarts() != startsAtHalt) {
                    startsAtHalt = -1;
                    board.bulkReady(kWriteBytes, now);  // the frames due by now join the board's queue
                    n = board.bulkPartial(kWriteBytes);
                    n -= n % kPacket;
                    if (n > 0) board.bulkTake(buffer.data(), n, kWriteBytes);
                }
                wake = std::min(board.nextFrameDue(), now + std::chrono::milliseconds(2));
            }
            if (n == 0) {
                std::this_thread::sleep_until(wake);
                continue;
            }
            // Blocks until the host has read it. While the gadget is unbound
            // (an unplug) it fails at once, the endpoint being non-blocking:
            // the data is lost with the link, as is data taken before an
            // unplug.
            bool linkKept;
            {
                std::lock_guard<std::mutex> lock(mutex);
                linkKept = unplugs == unplugsBefore;
            }
            if (!linkKept || write(stream, buffer.data(), n) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    // Unplugged, the board loses its power: when it is plugged in again it
    // does not stream until a host starts it, and nothing of before is sent.
    void unplugged() {
        std::lock_guard<std::mutex> lock(mutex);
        board.stopStream();
        ++unplugs;
        std::fprintf(stderr, "lumivex-ffs-board: unplugged (the stream stops, its queue is lost)\n");
    }

    void setup(const usb_ctrlrequest& request) {
        const uint16_t value = le16toh(request.wValue), index = le16toh(request.wIndex);
        const uint16_t length = le16toh(request.wLength);
        std::vector<uint8_t> data(length);
        if (request.bRequestType & USB_DIR_IN) {
            int result;
            {
                std::lock_guard<std::mutex> lock(mutex);
                result = board.control(request.bRequestType, request.bRequest, value, index, data.data(), length);
            }
            if (result < 0) {
                if (read(ep0, nullptr, 0) < 0) { /* the stall itself */ }
            } else if (write(ep0, data.data(), size_t(result)) < 0 && errno != EIDRM) {
                std::perror("lumivex-ffs-board: ep0 data in");
            }
            return;
        }
        if (length > 0 && read(ep0, data.data(), length) < 0) return;  // the host gave up
        int result;
        {
            std::lock_guard<std::mutex> lock(mutex);
            result = board.control(request.bRequestType, request.bRequest, value, index, data.data(), length);
        }
        if (length > 0) return;  // the data stage read above completed the request
        if (result < 0) {
            if (write(ep0, nullptr, 0) < 0) { /* the stall itself */ }
        } else if (read(ep0, nullptr, 0) < 0 && errno != EIDRM) {
            std::perror("lumivex-ffs-board: ep0 status");
        }
    }

    LumivexSim::Board board;
    std::mutex mutex;
    long unplugs = 0;  // under the mutex
    int ep0;
    int stream;
};
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: lumivex-ffs-board FFS_DIR SETTINGS\n");
        return 2;
    }
    LumivexSim::BusSettings settings;
    std::string error;
    if (!LumivexSim::parseBusSettings(argv[2], settings, error) || settings.boards.size() != 1) {
        std::fprintf(stderr, "lumivex-ffs-board: bad settings '%s'\n", error.empty() ? argv[2] : error.c_str());
        return 2;
    }
    const std::string dir = argv[1];
    const int ep0 = open((dir + "/ep0").c_str(), O_RDWR);
    if (ep0 < 0 || !writeDescriptors(ep0)) {
        std::perror("lumivex-ffs-board: descriptors");
        return 1;
    }
    const int stream = open((dir + "/ep" + std::to_string(kEndpoints)).c_str(), O_RDWR | O_NONBLOCK);
    if (stream < 0) {
        std::perror("lumivex-ffs-board: stream endpoint");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = onHaltSignal;
    sigaction(SIGUSR1, &action, nullptr);
    // The gadget's own controller keeps what it was handed: the model adds nothing.
    settings.boards[0].pipelineBytes = 0;
    static GadgetBoard* gadget = new GadgetBoard(settings.boards[0], ep0, stream);  // lives until exit
    std::thread([] { gadget->serveStream(); }).detach();
    gadget->serveControl();
    return 1;
}
