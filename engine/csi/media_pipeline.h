// Media-controller set-up on Raspberry Pi hosts: find the media device of the
// video node, link and format the CSI-2 receiver (Pi 5), open the sensor's
// sub-device for the controls.
#pragma once

#include <cstdint>

namespace Lumivex {

class LumivexTOFCSISensor;

// A descriptor of the media device the video node belongs to, or -1.
int32_t v4l2_device_open_media_device(int videoFd);
// The id of the entity named exactly `name`, or -1.
int32_t media_entity_id_by_name(int mediaFd, const char* name);
// The descriptor of the opened sensor sub-device (owned by the caller), or -1.
int32_t v4l2_device_open_v4l2_subdev(LumivexTOFCSISensor& sensor, int videoFd);

}  // namespace Lumivex
