// Point clouds as PLY files (binary, little-endian): x, y, z as floats and,
// when given, the amplitude as a float property of each point. Points with a
// coordinate that is not a number (left out by a mask) are not written.
#pragma once

#include <cstddef>
#include <string>

namespace Lumivex {

// `points` holds 3 floats a point, `amplitude` (or null) one. The file is
// written beside its place and renamed into it: whole, or not there at all
// (an existing file stays as it was). `written` gets the points in it.
bool writePly(const std::string& path, const float* points, const float* amplitude, size_t count, size_t& written,
              std::string& error);

}  // namespace Lumivex
