#include "media_pipeline.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/media-bus-format.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "v4l2_capture.h"
#include "warning.h"

namespace Lumivex {

namespace {
constexpr const char* kOpenMedia = "v4l2_device_open_media_device";
constexpr const char* kOpenSubdev = "v4l2_device_open_v4l2_subdev";
constexpr uint32_t kCsi2SourcePad = 4;

// The entity name as a C string even if the driver filled all 32 bytes.
struct EntityName {
    explicit EntityName(const media_entity_desc& entity) {
        std::memcpy(text, entity.name, sizeof entity.name);
        text[sizeof entity.name] = '\0';
    }
    char text[sizeof(media_entity_desc::name) + 1];
};

// Ids must grow from one answer to the next; anything else ends a walk
// rather than looping for ever on a faulty driver.
bool advances(uint32_t id, uint32_t previous, bool first) {
    return first || (id & ~MEDIA_ENT_ID_FLAG_NEXT) > (previous & ~MEDIA_ENT_ID_FLAG_NEXT);
}

enum class NodeResult { Opened, StopWithResult, StopWithFailure };

// Opens the sub-device node behind an entity through its sysfs link.
NodeResult openEntityNode(const media_entity_desc& entity, int& fd) {
    char path[256];
    std::snprintf(path, sizeof path, "/sys/dev/char/%d:%d", int(entity.dev.major),
                  int(entity.dev.minor));
    char link[300];
    const ssize_t length = ::readlink(path, link, 255);
    if (length < 0) {
        warn(kOpenSubdev, "Cannot readlink '%s'", path);
        return NodeResult::StopWithFailure;
    }
    link[length] = '\0';
    const char* last = std::strrchr(link, '/');
    if (last == nullptr) {
        warn(kOpenSubdev, "Link '%s' for '%s' does not end with '/'", link, path);
        return NodeResult::StopWithResult;
    }
    if (std::strncmp(last, "/v4l-subdev", 11) != 0) {
        warn(kOpenSubdev, "Link '%s' does not contain '/v4l-subdev'", link);
        return NodeResult::StopWithResult;
    }
    char node[256];
    std::snprintf(node, sizeof node, "/dev%s", last);
    fd = ::open(node, O_RDWR);
    if (fd < 0) {
        warn(kOpenSubdev, "Cannot open '%s' (ret=%d)", node, fd);
        return NodeResult::StopWithFailure;
    }
    return NodeResult::Opened;
}

// Pi 5: the CSI-2 receiver's active format, 240 x 180 Y12.
bool formatReceiver(int receiverFd) {
    v4l2_subdev_format format;
    std::memset(&format, 0, sizeof format);
    format.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    format.pad = 0;
    format.format.width = 240;
    format.format.height = 180;
    format.format.code = MEDIA_BUS_FMT_Y12_1X12;
    format.format.field = V4L2_FIELD_NONE;
    if (::ioctl(receiverFd, VIDIOC_SUBDEV_S_FMT, &format) < 0) {
        std::perror("Failed to set video format");
        return false;
    }
    return true;
}
}  // namespace

int32_t v4l2_device_open_media_device(int videoFd) {
    struct stat status;
    if (::fstat(videoFd, &status) < 0) {
        warn(kOpenMedia, "Cannot get fstat");
        return -1;
    }
    if ((status.st_mode & 0x2000) == 0) {  // the S_IFCHR bit alone
        warn(kOpenMedia, "FD is not char");
        return -1;
    }
    char path[300];
    std::snprintf(path, sizeof path, "/sys/dev/char/%d:%d/device", int(major(status.st_rdev)),
                  int(minor(status.st_rdev)));
    struct dirent** entries = nullptr;
    const int count = ::scandir(path, &entries, nullptr, nullptr);
    if (count < 0) {
        warn(kOpenMedia, "Cannot scan: %s", path);
        return -1;
    }
    int mediaFd = -1;
    for (int i = count - 1; i >= 0; --i) {
        if (mediaFd < 0 && std::strncmp(entries[i]->d_name, "media", 5) == 0) {
            std::snprintf(path, sizeof path, "/dev/%s", entries[i]->d_name);
            mediaFd = ::open(path, O_RDWR);
        }
        std::free(entries[i]);
    }
    std::free(entries);
    return mediaFd;
}

int32_t media_entity_id_by_name(int mediaFd, const char* name) {
    media_entity_desc entity;
    std::memset(&entity, 0, sizeof entity);
    entity.id = MEDIA_ENT_ID_FLAG_NEXT;
    uint32_t previous = 0;
    bool first = true;
    while (::ioctl(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &entity) == 0 &&
           advances(entity.id, previous, first)) {
        if (std::strcmp(EntityName(entity).text, name) == 0) return int32_t(entity.id);
        previous = entity.id;
        first = false;
        entity.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
    std::perror("Query entity failed");
    return -1;
}

int32_t v4l2_device_open_v4l2_subdev(LumivexTOFCSISensor& sensor, int videoFd) {
    const int32_t platform = sensor.hostPlatform();
    int32_t result = -1;
    const int mediaFd = v4l2_device_open_media_device(videoFd);
    if (mediaFd < 0) {
        warn(kOpenSubdev, "Cannot find media controller");
        return -1;
    }

    if (platform == RASPBERRY_PI_5) {
        media_link_desc link;
        std::memset(&link, 0, sizeof link);
        link.source.entity = uint32_t(media_entity_id_by_name(mediaFd, "csi2"));
        link.source.index = kCsi2SourcePad;
        link.source.flags = MEDIA_PAD_FL_SOURCE;
        link.sink.entity = uint32_t(media_entity_id_by_name(mediaFd, "rp1-cfe-csi2_ch0"));
        link.sink.index = 0;
        link.sink.flags = MEDIA_PAD_FL_SINK;
        link.flags = MEDIA_LNK_FL_ENABLED;
        if (::ioctl(mediaFd, MEDIA_IOC_SETUP_LINK, &link) < 0) {
            warn(kOpenSubdev, "Failed to set link");
            ::close(mediaFd);
            return -1;
        }
    }

    uint32_t lastId = 0;
    for (bool first = true;; first = false) {
        media_entity_desc entity;
        std::memset(&entity, 0, sizeof entity);
        entity.id = lastId | MEDIA_ENT_ID_FLAG_NEXT;
        if (sensor.xioctl(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &entity) < 0) break;
        if (!advances(entity.id, lastId, first)) break;
        lastId = entity.id;
        const EntityName name(entity);

        const bool receiver = platform == RASPBERRY_PI_5 && std::strcmp(name.text, "csi2") == 0;
        const bool sensorEntity = !receiver && std::strstr(name.text, "lumivex-sorvantic") != nullptr;
        if (!receiver && !sensorEntity) continue;

        int nodeFd = -1;
        const NodeResult opened = openEntityNode(entity, nodeFd);
        if (opened != NodeResult::Opened) {
            ::close(mediaFd);
            return opened == NodeResult::StopWithFailure ? -1 : result;
        }
        if (sensorEntity) {
            ::close(mediaFd);
            return nodeFd;
        }
        const bool formatted = formatReceiver(nodeFd);
        ::close(nodeFd);  // the receiver's descriptor is never the result
        if (!formatted) {
            ::close(mediaFd);
            return -1;
        }
    }
    ::close(mediaFd);
    return result;
}

}  // namespace Lumivex
