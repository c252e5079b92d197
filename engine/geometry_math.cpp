#include "geometry_math.h"

#include <cmath>

namespace Zarnik {
namespace Engine {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegrees = 180.0 / kPi;

}  // namespace

Matrix<float> ComposeTransform(float_3 scale, float_3 rotationDegrees, float_3 translation) {
    const double a = rotationDegrees.x / kDegrees, b = rotationDegrees.y / kDegrees, c = rotationDegrees.z / kDegrees;
    const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b), cc = std::cos(c),
                 sc = std::sin(c);
    // Rz * Ry * Rx
    const double r[3][3] = {
        {cc * cb, cc * sb * sa - sc * ca, cc * sb * ca + sc * sa},
        {sc * cb, sc * sb * sa + cc * ca, sc * sb * ca - cc * sa},
        {-sb, cb * sa, cb * ca},
    };
    const double s[3] = {scale.x, scale.y, scale.z};
    Matrix<float> m{};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) m.m[row][col] = float(r[row][col] * s[col]);
    m.m[0][3] = translation.x;
    m.m[1][3] = translation.y;
    m.m[2][3] = translation.z;
    return m;
}

void DecomposeTransform(const Matrix<float>& m, float_3& scale, float_3& rotationDegrees, float_3& translation) {
    translation = {m.m[0][3], m.m[1][3], m.m[2][3]};
    double len[3];
    for (int col = 0; col < 3; ++col) {
        len[col] = std::sqrt(double(m.m[0][col]) * m.m[0][col] + double(m.m[1][col]) * m.m[1][col] +
                             double(m.m[2][col]) * m.m[2][col]);
    }
    scale = {float(len[0]), float(len[1]), float(len[2])};
    rotationDegrees = {0.0f, 0.0f, 0.0f};
    if (!(len[0] > 0 && len[1] > 0 && len[2] > 0)) return;
    auto r = [&](int row, int col) { return m.m[row][col] / len[col]; };
    const double sinB = -r(2, 0);
    double a, b, c;
    if (std::fabs(sinB) < 0.999999) {
        b = std::asin(sinB);
        a = std::atan2(r(2, 1), r(2, 2));
        c = std::atan2(r(1, 0), r(0, 0));
    } else {
        // Gimbal lock: only the sum (or difference) of the X and Z angles is defined.
        b = sinB > 0 ? kPi / 2 : -kPi / 2;
        c = 0.0;
        a = std::atan2(-r(1, 2), r(1, 1));
    }
    if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c)) return;
    rotationDegrees = {float(a * kDegrees), float(b * kDegrees), float(c * kDegrees)};
}

float_3 SunDirection(float latitude, float longitude, int month, int day, float hour, int gmtOffset) {
    static const int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    if (!std::isfinite(latitude)) latitude = 0;
    if (!std::isfinite(longitude)) longitude = 0;
    if (!std::isfinite(hour)) hour = 12;
    const int monthIx = month < 1 ? 0 : (month > 12 ? 11 : month - 1);
    const int dayOfYear = kDaysBefore[monthIx] + (day < 1 ? 1 : (day > 31 ? 31 : day));

    // Declination and equation of time from the fractional year (NOAA's short series).
    const double gamma = 2 * kPi / 365.0 * (dayOfYear - 1 + (hour - 12) / 24.0);
    const double eqTime = 229.18 * (0.000075 + 0.001868 * std::cos(gamma) - 0.032077 * std::sin(gamma) -
                                    0.014615 * std::cos(2 * gamma) - 0.040849 * std::sin(2 * gamma));
    const double decl = 0.006918 - 0.399912 * std::cos(gamma) + 0.070257 * std::sin(gamma) -
                        0.006758 * std::cos(2 * gamma) + 0.000907 * std::sin(2 * gamma) -
                        0.002697 * std::cos(3 * gamma) + 0.00148 * std::sin(3 * gamma);
    // True solar time in minutes, then the hour angle (zero at solar noon).
    const double solarMinutes = (hour - gmtOffset) * 60.0 + 4.0 * longitude + eqTime;
    const double hourAngle = (solarMinutes / 4.0 - 180.0) / kDegrees;
    const double lat = latitude / kDegrees;

    // Local east-north-up coordinates of the sun.
    const double up = std::sin(lat) * std::sin(decl) + std::cos(lat) * std::cos(decl) * std::cos(hourAngle);
    const double east = -std::cos(decl) * std::sin(hourAngle);
    const double north = std::cos(lat) * std::sin(decl) - std::sin(lat) * std::cos(decl) * std::cos(hourAngle);
    const double length = std::sqrt(east * east + north * north + up * up);
    if (!(length > 0)) return {0.0f, 1.0f, 0.0f};
    return {float(east / length), float(up / length), float(-north / length)};
}

}  // namespace Engine
}  // namespace Zarnik
