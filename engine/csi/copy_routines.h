// Routines that append one driver buffer (a sub-frame) to the raw frame, one
// per driver layout. Each reads at most `length` source bytes, appends at
// most one sub-frame (86,400 bytes) and never writes past `capacity`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Lumivex {

using CopyRoutine = void (*)(const uint8_t* source, size_t length, uint8_t* destination,
                             size_t& writePosition, size_t capacity);

// 180 lines of 512 bytes: the first 480 bytes of every line.
void copyStrided(const uint8_t* source, size_t length, uint8_t* destination,
                 size_t& writePosition, size_t capacity);
// 960-byte blocks: bytes [0,448), [896,928), [448,928) of each block.
void copyLinePairs(const uint8_t* source, size_t length, uint8_t* destination,
                   size_t& writePosition, size_t capacity);
// Packed 12-bit pixel pairs with 8 padding bytes after every 240-sample line.
void unpackY12P(const uint8_t* source, size_t length, uint8_t* destination,
                size_t& writePosition, size_t capacity);
// The whole buffer.
void copyWhole(const uint8_t* source, size_t length, uint8_t* destination,
               size_t& writePosition, size_t capacity);

}  // namespace Lumivex
