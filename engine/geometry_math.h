// Small numeric helpers: composing and splitting affine transforms, and the sun's
// direction for a place and time.
#pragma once

#include "zarnik.h"

namespace Zarnik {
namespace Engine {

// M = translation * rotation * scale, rotation angles in degrees applied about X, then Y,
// then Z (M = Rz * Ry * Rx).
Matrix<float> ComposeTransform(float_3 scale, float_3 rotationDegrees, float_3 translation);
// The inverse: scale = lengths of the first three columns, translation = column 3, rotation
// = the X-then-Y-then-Z angles of the normalised columns (zeros when a scale is zero).
void DecomposeTransform(const Matrix<float>& m, float_3& scale, float_3& rotationDegrees, float_3& translation);

// Unit vector from the ground towards the sun, Y up, north along -Z and east along +X, for
// a latitude and longitude in degrees (east positive), a date, the local clock hour and
// the clock's offset from GMT in hours.
float_3 SunDirection(float latitude, float longitude, int month, int day, float hour, int gmtOffset);

}  // namespace Engine
}  // namespace Zarnik
