#include "navigation/AngleMath.h"

#include <cmath>

namespace kel::corvanta::navigation {

namespace {
constexpr double kPi = 3.14159265358979323846;
}

float norm2(float x, float y) {
    const double dx = x;
    const double dy = y;
    return static_cast<float>(std::sqrt(dx * dx + dy * dy));
}

float mapToMinusPItoPI(float a) {
    const double ad = a;
    // Truncated in double rather than int, so huge angles cannot overflow the conversion.
    const double k = std::trunc(ad / kPi);
    const float h = static_cast<float>(k) / 2.0f;
    const double n = k > 0 ? std::ceil(h) : std::floor(h);
    return static_cast<float>(ad - n * 2.0 * kPi);
}

float deg2rad(float d) { return static_cast<float>(static_cast<double>(d) * kPi / 180.0); }

float rad2deg(float r) {
    const float scaled = r * 180.0f;
    return static_cast<float>(static_cast<double>(scaled) / kPi);
}

}  // namespace kel::corvanta::navigation
