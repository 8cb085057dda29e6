// The media graph and the sub-devices: entities, links, sub-device formats
// and the sensor sub-device's controls.
#include "virtual_kernel.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/v4l2-subdev.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <thread>

#include "real_libc.h"

#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

#include "vkernel_shared.h"

namespace LumivexSim {

using namespace detail;

std::vector<Entity> VirtualKernel::entities() const {
    std::vector<Entity> list;
    if (config.platform == "rpi5") {
        list = {{1, "rp1-cfe-csi2_ch0", kVideoMajor, 0, -1},
                {2, "rp1-cfe-embedded", kVideoMajor, 1, -1},
                {3, "csi2", kVideoMajor, kSubdevMinorBase + 0, 0},
                {4, "pisp-fe", kVideoMajor, kSubdevMinorBase + 1, 1}};
        if (!config.noSensor) list.push_back({5, config.sensorName, kVideoMajor, kSubdevMinorBase + 2, 2});
        if (config.noReceiver) list.erase(list.begin() + 2);  // the CSI-2 receiver
    } else if (config.platform == "rpi4") {
        list = {{1, "unicam-image", kVideoMajor, 0, -1}, {2, "unicam-embedded", kVideoMajor, 1, -1}};
        if (config.extraCsi2) list.push_back({3, "csi2", kVideoMajor, kSubdevMinorBase + 0, 0});
        if (!config.noSensor) list.push_back({4, config.sensorName, kVideoMajor, kSubdevMinorBase + 1, 1});
    }
    return list;
}

const Entity* VirtualKernel::entityByDevice(uint32_t major, uint32_t minor) const {
    static thread_local std::vector<Entity> list;
    list = entities();
    for (const Entity& e : list)
        if (e.major == major && e.minor == minor && e.subdev >= 0) return &e;
    return nullptr;
}


int VirtualKernel::mediaIoctl(unsigned long request, void* argument) {
    switch (request) {
        case MEDIA_IOC_DEVICE_INFO: {
            auto* info = static_cast<media_device_info*>(argument);
            std::memset(info, 0, sizeof *info);
            std::snprintf(info->driver, sizeof info->driver, "lumivex-virtual");
            return 0;
        }
        case MEDIA_IOC_ENUM_ENTITIES: {
            auto* desc = static_cast<media_entity_desc*>(argument);
            const bool next = desc->id & MEDIA_ENT_ID_FLAG_NEXT;
            const uint32_t id = desc->id & ~MEDIA_ENT_ID_FLAG_NEXT;
            for (const Entity& e : entities()) {
                if (next ? e.id > id : e.id == id) {
                    std::memset(desc, 0, sizeof *desc);
                    desc->id = e.id;
                    std::snprintf(desc->name, sizeof desc->name, "%s", e.name.c_str());
                    desc->type = e.subdev >= 0 ? MEDIA_ENT_T_V4L2_SUBDEV : MEDIA_ENT_T_DEVNODE_V4L;
                    desc->dev.major = e.major;
                    desc->dev.minor = e.minor;
                    log("ioctl /dev/media0 MEDIA_IOC_ENUM_ENTITIES id=0x%x -> %u '%s'",
                        next ? id | MEDIA_ENT_ID_FLAG_NEXT : id, e.id, e.name.c_str());
                    return 0;
                }
            }
            log("ioctl /dev/media0 MEDIA_IOC_ENUM_ENTITIES id=0x%x -> EINVAL", desc->id);
            return failWith(EINVAL);
        }
        case MEDIA_IOC_SETUP_LINK: {
            auto* link = static_cast<media_link_desc*>(argument);
            bool valid = false;
            const auto list = entities();
            for (const Entity& s : list)
                for (const Entity& k : list)
                    valid = valid || (s.id == link->source.entity && s.name == "csi2" &&
                                      k.id == link->sink.entity && k.name == "rp1-cfe-csi2_ch0");
            valid = valid && link->source.index == 4 && link->sink.index == 0 &&
                    (link->source.flags & MEDIA_PAD_FL_SOURCE) && (link->sink.flags & MEDIA_PAD_FL_SINK);
            log("ioctl /dev/media0 MEDIA_IOC_SETUP_LINK source=%u:%u sink=%u:%u flags=0x%x -> %s",
                link->source.entity, link->source.index, link->sink.entity, link->sink.index, link->flags,
                valid && !config.linkFail ? "0" : "EINVAL");
            if (!valid || config.linkFail) return failWith(EINVAL);
            linkEnabled = link->flags & MEDIA_LNK_FL_ENABLED;
            return 0;
        }
        default:
            return failWith(ENOTTY);
    }
}

int VirtualKernel::subdevIoctl(int index, unsigned long request, void* argument) {
    const Entity* entity = nullptr;
    static thread_local std::vector<Entity> list;
    list = entities();
    for (const Entity& e : list)
        if (e.subdev == index) entity = &e;
    if (entity == nullptr) return failWith(ENODEV);
    const bool isSensor = entity->name == config.sensorName;
    switch (request) {
        case VIDIOC_SUBDEV_S_FMT: {
            auto* format = static_cast<v4l2_subdev_format*>(argument);
            log("ioctl /dev/v4l-subdev%d VIDIOC_SUBDEV_S_FMT which=%u pad=%u width=%u height=%u code=0x%x "
                "field=%u -> %s",
                index, format->which, format->pad, format->format.width, format->format.height,
                format->format.code, format->format.field, config.subdevFormatFail ? "EINVAL" : "0");
            if (config.subdevFormatFail) return failWith(EINVAL);
            if (entity->name == "csi2") receiverFormat = format->format;
            return 0;
        }
        case VIDIOC_S_CTRL:
        case VIDIOC_G_CTRL:
            if (!isSensor) return failWith(ENOTTY);
            return controlIoctl(("/dev/v4l-subdev" + std::to_string(index)).c_str(), request, argument);
        default:
            return failWith(ENOTTY);
    }
}


}  // namespace LumivexSim
