#pragma once

namespace kel::corvanta::navigation {

/// Euclidean length of (x, y), computed in double precision.
float norm2(float x, float y);

/// Maps an angle in radians into about [-pi, pi] (3*pi gives -pi, -3*pi gives pi).
float mapToMinusPItoPI(float a);

/// Degrees to radians, computed in double precision.
float deg2rad(float d);

/// Radians to degrees; the product with 180 is taken in single precision.
float rad2deg(float r);

}  // namespace kel::corvanta::navigation
