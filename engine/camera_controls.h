// The camera's controls, as the session and the back-ends name them.
#pragma once

#include <cstdint>

namespace Lumivex {

enum CameraCtrl : int32_t {
    RANG = 0,      // measuring range in metres (2 or 4)
    EXPOSURE = 1,  // exposure (refused by both back-ends)
};

}  // namespace Lumivex
