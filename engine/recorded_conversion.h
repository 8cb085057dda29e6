// The camera session's conversions for frames captured earlier (a
// recording's raw phase frames): the same code, constants and sample shift
// as a live session on the host that captured them, so the results are the
// ones that session computed, bit for bit.
#pragma once

#include <cstdint>

#include "csi/host_platform.h"
#include "frame_types.h"

namespace Lumivex {

// Depth (metres) and amplitude of one raw phase frame (345,600 bytes) taken
// at `range` (2 or 4 m) with `modulationFrequency` (Hz), on `platform`.
void convertRecordedDepth(const uint8_t* rawFrame, int32_t range, float modulationFrequency, HostPlatform platform,
                          float* depth, float* amplitude);
// The RAW frame a session on `platform` hands out (720 x 180 samples).
void convertRecordedRaw(const uint8_t* rawFrame, HostPlatform platform, int16_t* out);

}  // namespace Lumivex
