// The signals of the demo measurement: deterministic functions of the sample index, shared with the tests.
#pragma once

#include <cmath>
#include <cstdint>

namespace qm::demo {

constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kSeconds = 60;       // one simulated minute
constexpr uint32_t kAppendSeconds = 1;  // the last second is appended after reopening

// Engine: 100 Hz, time channel, speed, torque and temperature stored as raw counts with
// linear conversions (physical = offset + factor x stored).
constexpr const char* kEngine = "Engine";
constexpr uint32_t kEngineRate = 100;
struct Linear {
  const char* name;
  const char* unit;
  double factor;
  double offset;
};
constexpr Linear kEngineChannels[] = {
    {"Speed", "rpm", 0.25, 0.0},
    {"Torque", "Nm", 0.1, -500.0},
    {"Temperature", "degC", 0.01, -40.0},
};
inline double EngineTime(uint64_t i) { return static_cast<double>(i) / kEngineRate; }
inline double EngineStored(int channel, uint64_t i) {
  const double t = EngineTime(i);
  switch (channel) {
    case 0: return std::round(9000.0 + 5000.0 * std::sin(2 * kPi * t / 20.0));
    case 1: return std::round(5800.0 + 1500.0 * std::sin(2 * kPi * t / 7.0) +
                              300.0 * std::cos(2 * kPi * t / 1.3));
    default: return std::round(6000.0 + 7000.0 * (1.0 - std::exp(-t / 40.0)));
  }
}

// Ambient: 1 Hz, time channel and three channels in physical units (factor 1, offset 0).
constexpr const char* kAmbient = "Ambient";
constexpr uint32_t kAmbientRate = 1;
constexpr Linear kAmbientChannels[] = {
    {"AirTemperature", "degC", 1.0, 0.0},
    {"AirPressure", "hPa", 1.0, 0.0},
    {"Humidity", "%", 1.0, 0.0},
};
inline double AmbientTime(uint64_t i) { return static_cast<double>(i) / kAmbientRate; }
inline double AmbientStored(int channel, uint64_t i) {
  const double t = AmbientTime(i);
  switch (channel) {
    case 0: return 21.5 + 0.02 * t;
    case 1: return 1013.25 - 0.01 * t;
    default: return 45.0 + 5.0 * std::sin(t / 10.0);
  }
}

// Limit group "[12]Coolant": 10 Hz, fed by limit identifier.
constexpr const char* kCoolant = "[12]Coolant";
constexpr int32_t kCoolantLimitId = 12;
constexpr uint32_t kCoolantRate = 10;
constexpr double kCoolantLimit = 85.0;
constexpr Linear kCoolantChannels[] = {
    {"CoolantTemp", "degC", 1.0, 0.0},
    {"CoolantLimit", "degC", 1.0, 0.0},
    {"LimitExceeded", "", 1.0, 0.0},
};
inline double CoolantTime(uint64_t i) { return static_cast<double>(i) / kCoolantRate; }
inline double CoolantStored(int channel, uint64_t i) {
  const double temp = 20.0 + 70.0 * (1.0 - std::exp(-CoolantTime(i) / 25.0));
  switch (channel) {
    case 0: return temp;
    case 1: return kCoolantLimit;
    default: return temp > kCoolantLimit ? 1.0 : 0.0;
  }
}

// Engine samples per call, cycled: calls of varying size, as a host's acquisition loop makes.
constexpr uint32_t kChunkSamples[] = {37, 150, 80, 225, 5, 310, 64, 129, 1, 199};

}  // namespace qm::demo
