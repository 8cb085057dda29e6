// lumivex-ls: lists every camera the SDK can open, with the open arguments
// that select it: CSI candidates (video nodes whose driver takes 240 x 180 in
// Y12 or Y12P) with the host platform and, on a Raspberry Pi, the sensor's
// sub-device; and the maker's USB boards (bus, address, ids, serial,
// firmware, USB type and speed). A board another program holds is listed
// from its descriptors and marked busy, undisturbed. --json for programs.
#include <fcntl.h>
#include <linux/media.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "csi/host_platform.h"
#include "frame_types.h"
#include "usb_boards.h"

#ifndef V4L2_PIX_FMT_Y12P  // newer than some kernels' headers
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace {

using LumivexTools::UsbBoard;
using LumivexTools::usbBoards;

constexpr int kHighestVideoNode = 63;

struct CsiCamera {
    int index;
    std::string node, driver, card, format, sensor, sensorNode;
};

// A descriptor that is closed on every path.
class Fd {
public:
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

int xioctl(int fd, unsigned long request, void* arg) {
    int result;
    do {
        result = ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::string text(const uint8_t* bytes, size_t size) {
    std::string out;
    for (size_t i = 0; i < size && bytes[i] != 0; ++i) out += char(bytes[i]);
    return out;
}

// On a Raspberry Pi: the sensor entity of the node's media graph and its sub-device.
void findSensor(int videoFd, CsiCamera& camera) {
    struct stat info {};
    if (fstat(videoFd, &info) != 0) return;
    char path[64];
    for (int m = 0; m < 8; ++m) {
        std::snprintf(path, sizeof path, "/dev/media%d", m);
        Fd media(open(path, O_RDWR | O_CLOEXEC));
        if (media.get() < 0) continue;
        media_entity_desc entity{};
        std::string sensor, sensorNode;
        bool ours = false;
        for (entity.id = MEDIA_ENT_ID_FLAG_NEXT; xioctl(media.get(), MEDIA_IOC_ENUM_ENTITIES, &entity) == 0;
             entity.id |= MEDIA_ENT_ID_FLAG_NEXT) {
            const std::string name = text(reinterpret_cast<const uint8_t*>(entity.name), sizeof entity.name);
            if (entity.dev.major == major(info.st_rdev) && entity.dev.minor == minor(info.st_rdev)) ours = true;
            if (name.find("lumivex-sorvantic") == std::string::npos) continue;
            sensor = name;
            char link[64], target[256] = {};
            std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u", entity.dev.major, entity.dev.minor);
            const ssize_t n = readlink(link, target, sizeof target - 1);
            if (n > 0) {
                const char* base = std::strrchr(target, '/');
                sensorNode = std::string("/dev/") + (base != nullptr ? base + 1 : target);
            }
        }
        if (ours) {
            camera.sensor = sensor;
            camera.sensorNode = sensorNode;
            return;
        }
    }
}

std::vector<CsiCamera> csiCameras(Lumivex::HostPlatform platform) {
    std::vector<CsiCamera> found;
    for (int index = 0; index <= kHighestVideoNode; ++index) {
        const std::string node = "/dev/video" + std::to_string(index);
        Fd fd(open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0) continue;
        v4l2_capability caps{};
        if (xioctl(fd.get(), VIDIOC_QUERYCAP, &caps) != 0) continue;
        const uint32_t kinds = caps.capabilities & V4L2_CAP_DEVICE_CAPS ? caps.device_caps : caps.capabilities;
        if (!(kinds & V4L2_CAP_VIDEO_CAPTURE)) continue;
        // Asks without changing anything: the format the driver would take.
        for (uint32_t pixel : {uint32_t(V4L2_PIX_FMT_Y12P), uint32_t(V4L2_PIX_FMT_Y12)}) {
            v4l2_format format{};
            format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            format.fmt.pix.width = Lumivex::kSensorWidth;
            format.fmt.pix.height = Lumivex::kSensorHeight;
            format.fmt.pix.pixelformat = pixel;
            format.fmt.pix.field = V4L2_FIELD_NONE;
            if (xioctl(fd.get(), VIDIOC_TRY_FMT, &format) != 0) continue;
            if (format.fmt.pix.width != Lumivex::kSensorWidth || format.fmt.pix.height != Lumivex::kSensorHeight ||
                format.fmt.pix.pixelformat != pixel)
                continue;
            CsiCamera camera{index, node, text(caps.driver, sizeof caps.driver), text(caps.card, sizeof caps.card),
                             pixel == V4L2_PIX_FMT_Y12P ? "Y12P" : "Y12", "", ""};
            if (platform == Lumivex::RASPBERRY_PI || platform == Lumivex::RASPBERRY_PI_5) findSensor(fd.get(), camera);
            found.push_back(camera);
            break;
        }
    }
    return found;
}

std::string json(const std::string& value) {
    std::string out = "\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

void printJson(Lumivex::HostPlatform platform, const std::vector<CsiCamera>& csi, const std::vector<UsbBoard>& usb,
               const std::string& usbError) {
    std::printf("{\"host_platform\": %s,\n \"csi\": [", json(Lumivex::hostPlatformName(platform)).c_str());
    for (size_t i = 0; i < csi.size(); ++i) {
        const CsiCamera& c = csi[i];
        std::printf("%s\n  {\"node\": %s, \"driver\": %s, \"card\": %s, \"width\": %u, \"height\": %u, \"format\": %s, "
                    "\"sensor\": %s, \"sensor_node\": %s, \"open\": [\"CSI\", %d]}",
                    i ? "," : "", json(c.node).c_str(), json(c.driver).c_str(), json(c.card).c_str(),
                    Lumivex::kSensorWidth, Lumivex::kSensorHeight, json(c.format).c_str(),
                    c.sensor.empty() ? "null" : json(c.sensor).c_str(),
                    c.sensorNode.empty() ? "null" : json(c.sensorNode).c_str(), c.index);
    }
    std::printf("],\n \"usb\": [");
    for (size_t i = 0; i < usb.size(); ++i) {
        const UsbBoard& b = usb[i];
        std::printf("%s\n  {\"bus\": %d, \"address\": %d, \"vendor_id\": %s, \"product_id\": %s, \"bcd_device\": %s, "
                    "\"speed\": %s, \"usb_type\": %d, \"serial\": %s, \"firmware\": %s, \"busy\": %s, \"state\": %s, "
                    "\"open\": [\"USB\", %d]}",
                    i ? "," : "", b.bus, b.address, json(hex4(b.vendor)).c_str(), json(hex4(b.product)).c_str(),
                    json(hex4(b.bcdDevice)).c_str(), json(b.speed).c_str(), b.usbType,
                    b.serial.empty() ? "null" : json(b.serial).c_str(),
                    b.firmware.empty() ? "null" : json(b.firmware).c_str(), b.state == "busy" ? "true" : "false",
                    b.state.empty() ? "null" : json(b.state).c_str(), b.index);
    }
    std::printf("]%s}\n", usbError.empty() ? "" : (",\n \"usb_error\": " + json(usbError)).c_str());
}

void printText(Lumivex::HostPlatform platform, const std::vector<CsiCamera>& csi, const std::vector<UsbBoard>& usb,
               const std::string& usbError) {
    std::printf("CSI cameras (host: %s):\n", Lumivex::hostPlatformName(platform));
    if (csi.empty())
        std::printf("  none (no /dev/video0 to /dev/video%d capture node takes 240 x 180 Y12 or Y12P)\n",
                    kHighestVideoNode);
    for (const CsiCamera& c : csi) {
        std::printf("  %-12s %s (%s), %ux%u %s", c.node.c_str(), c.card.c_str(), c.driver.c_str(), Lumivex::kSensorWidth,
                    Lumivex::kSensorHeight, c.format.c_str());
        if (!c.sensor.empty()) std::printf(", sensor %s (%s)", c.sensor.c_str(), c.sensorNode.c_str());
        std::printf("    open(TOFConnect.CSI, %d)\n", c.index);
    }
    std::printf("USB boards:\n");
    if (!usbError.empty()) std::printf("  %s\n", usbError.c_str());
    else if (usb.empty()) std::printf("  none (no board with the maker's vendor ids 04b4 or 52cb on any USB bus)\n");
    for (const UsbBoard& b : usb) {
        std::printf("  bus %03d device %03d  %04x:%04x  %s speed, USB type %d", b.bus, b.address, b.vendor, b.product,
                    b.speed.c_str(), b.usbType);
        if (b.serial.size() == 12) {  // as the camera prints it when it opens, and as stored
            std::printf(", serial %s-%s-%s (%s)", b.serial.substr(0, 4).c_str(), b.serial.substr(4, 4).c_str(),
                        b.serial.substr(8).c_str(), b.serial.c_str());
        } else if (!b.serial.empty()) {
            std::printf(", serial %s", b.serial.c_str());
        }
        if (!b.firmware.empty()) std::printf(", firmware %s", b.firmware.c_str());
        if (!b.state.empty()) std::printf(", %s", b.state.c_str());
        std::printf("    open(TOFConnect.USB, %d)\n", b.index);
    }
    if (csi.empty() && usb.empty())
        std::printf("No camera found. Without one, the virtual cameras show what the SDK does:\n"
                    "  lumivex-virtual --usb -- lumivex-ls\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool asJson = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            asJson = true;
        } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::printf("usage: lumivex-ls [--json]\n\n"
                        "Lists the cameras the Lumivex SDK can open: CSI video nodes that take 240 x 180 Y12\n"
                        "or Y12P (with the host platform and, on a Raspberry Pi, the sensor's sub-device) and\n"
                        "the maker's USB boards (bus, address, ids, speed, USB type, serial, firmware), each\n"
                        "with the open() arguments that select it. A board another program holds is marked\n"
                        "busy and left alone. --json prints the same as one JSON object.\n");
            return 0;
        } else {
            std::fprintf(stderr, "lumivex-ls: unknown argument '%s' (lumivex-ls --help)\n", argv[i]);
            return 2;
        }
    }
    const Lumivex::HostPlatform platform = Lumivex::detectHostPlatform();
    const std::vector<CsiCamera> csi = csiCameras(platform);
    std::string usbError;
    const std::vector<UsbBoard> usb = usbBoards(usbError);
    if (asJson) {
        printJson(platform, csi, usb, usbError);
    } else {
        printText(platform, csi, usb, usbError);
    }
    return 0;
}
