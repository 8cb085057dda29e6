// The camera a session captures from, in the words a recording's header
// uses: the SDK's version, the connection, the node or USB index, the pixel
// format, the host platform and the streaming mode.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tof_camera.h"

namespace Lumivex {

std::vector<std::pair<std::string, std::string>> describeCamera(LumivexTOFCamera& camera, int32_t device,
                                                                FrameType mode);

}  // namespace Lumivex
