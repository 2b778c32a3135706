// What a running dual-cylinder pump reports: the two cylinders stroke in
// turn, one delivering while the other refills, so positions, rates,
// pressures, volumes and the flags that follow them change all the time.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "scanner/pump_names.h"
#include "tools/pumpsim/psim.h"

namespace {

const double kPi = 3.14159265358979323846;
const double kCylinderMl = 25.0;

struct Cylinder {
  double position;  // percent of the stroke
  bool delivering;  // extending, pushing fluid out
  double rate, press, volume, absVolume;
};

struct UnitState {
  Cylinder cyl[2];
  double setRate, setPress, safetyPress, outPress, outRate, cumVolume;
};

// 0 -> 1 -> 0 over one period.
double Triangle(double phase) {
  phase -= std::floor(phase);
  return phase < 0.5 ? 2 * phase : 2 * (1 - phase);
}

UnitState StateOf(int unit, double t, double surgeBar = 0) {
  UnitState s;
  double period = 8.0 + unit;  // seconds a full stroke and refill take
  s.setRate = 5.0 + unit;      // ml/min
  s.setPress = 150.0 + 10 * unit;
  s.safetyPress = s.setPress + 50;
  for (int c = 0; c < 2; ++c) {
    double phase = t / period + (c == 0 ? 0.0 : 0.5);
    Cylinder &y = s.cyl[c];
    y.position = 100.0 * Triangle(phase);
    y.delivering = phase - std::floor(phase) < 0.5;
    double ripple = std::sin(2 * kPi * t / 3.0 + c);
    y.rate = y.delivering ? s.setRate * (1 + 0.02 * ripple) : 0.0;
    y.press = y.delivering ? s.setPress + 3 * ripple + surgeBar : 20 + 2 * ripple;
    y.volume = kCylinderMl * y.position / 100.0;
    y.absVolume = s.setRate * t / 120.0;
  }
  s.outPress = std::fmax(s.cyl[0].press, s.cyl[1].press);
  s.outRate = s.cyl[0].rate + s.cyl[1].rate;
  s.cumVolume = s.setRate * t / 60.0;
  return s;
}

int IndexOf(const char *const *names, int count, const std::string &mnemonic) {
  for (int i = 1; i < count; ++i)
    if (names[i][0] && mnemonic == names[i]) return i;
  return -1;
}

double AnalogValue(int unit, int index, double t) {
  UnitState s = StateOf(unit, t);
  const Cylinder &a = s.cyl[0], &b = s.cyl[1];
  switch (index) {
    case 18: return a.position;
    case 19: return b.position;
    case 20: return a.position > 50 ? 1 : 0;
    case 21: return b.position > 50 ? 1 : 0;
    case 22: return 4.12;
    case 23: case 24: return 2.05;
    case 25: case 26: return 1.5;
    case 27: case 28: return 0.2;
    case 29: case 30: return 12.0;
    case 31: case 32: return 3.5;
    case 33: case 34: return 0.25 * unit;
    case 35: return a.volume;
    case 36: return b.volume;
    case 37: return a.absVolume;
    case 38: return b.absVolume;
    case 39: return a.delivering ? a.rate / 6.0 : -2 * s.setRate / 6.0;
    case 40: return b.delivering ? b.rate / 6.0 : -2 * s.setRate / 6.0;
    default: break;
  }
  if (index >= 41 && index <= 72) {
    int n = index - 40;
    return 5.0 + 5.0 * std::sin(2 * kPi * t / (10.0 + n) + unit);
  }
  return 0.0;
}

bool DigitalValue(int unit, int index, double t) {
  UnitState s = StateOf(unit, t);
  const Cylinder &a = s.cyl[0], &b = s.cyl[1];
  const Cylinder &y = s.cyl[(index % 2) == 0 ? 0 : 1];  // CYL1 on even indexes 2-25, CYL2 on odd
  switch (index) {
    case 1: return true;                                       // STATUS
    case 2: case 3: return false;                              // errors
    case 4: case 5: return y.delivering;                       // direction
    case 6: case 7: return true;                               // running
    case 8: case 9: return y.position > 1 && y.position < 99;  // moving
    case 10: case 11: return false;                            // pressure mode
    case 12: case 13: case 14: case 15: case 16: case 17: return true;
    case 18: case 19: return y.position < 1;                   // retract limit
    case 20: case 21: return y.position < 5;                   // retract trigger
    case 22: case 23: return y.position > 95;                  // extend trigger
    case 24: case 25: return y.position > 99;                  // extend limit
    case 26: return a.delivering;                              // M_VALVE1
    case 27: return !a.delivering;                             // M_VALVE3
    case 28: return b.delivering;                              // M_VALVE2
    case 29: return !b.delivering;                             // M_VALVE4
    case 87: case 93: return true;                             // driver status
    default: break;
  }
  if (index >= 96 && index <= 111) {
    int sw = (index - 96) / 2;
    const Cylinder &c = (index - 96) % 2 == 0 ? a : b;
    return c.position > sw * 12.5;
  }
  if (index >= 112 && index <= 143) {
    double period = (index - 111) + 2.0;
    return std::fmod(t + unit, 2 * period) < period;
  }
  if (index >= 144 && index <= 175) {
    double period = 2.0 * (index - 143);
    return std::fmod(t + 0.5 * unit, 2 * period) < period;
  }
  return false;  // cable, pressure, motion and switch errors: a healthy pump
}

void Append(std::string &out, double v) {
  char buf[32];
  snprintf(buf, sizeof buf, ",%.3f", v);
  out += buf;
}

}  // namespace

double psim_SurgeBar(const std::vector<PsimSurge> &surges, int unit, double t) {
  double bar = 0;
  for (const PsimSurge &g : surges) {
    if (g.unit != unit || t < g.from || t >= g.to) continue;
    // Up over the first second of the window, down over its last.
    double share = std::fmin(1.0, std::fmin(t - g.from, g.to - t));
    bar += g.bar * share;
  }
  return bar;
}

std::string psim_Reply(int unit, const std::string &mnemonic, double t, double surgeBar) {
  std::string out = "000";
  if (mnemonic == "PRV_ALL") {
    UnitState s = StateOf(unit, t, surgeBar);
    for (double v : {s.cyl[0].press, s.cyl[1].press, s.outPress, s.cyl[0].rate, s.cyl[1].rate, s.outRate,
                     s.cyl[0].volume, s.cyl[1].volume, s.cumVolume})
      Append(out, v);
  } else if (mnemonic == "SETPOINT_ALL") {
    UnitState s = StateOf(unit, t);
    for (double v : {s.setRate, s.setRate, s.setPress, s.setPress, s.safetyPress, s.safetyPress, 1.0, 1.0})
      Append(out, v);
  } else if (int a = IndexOf(AnalogValueNames, PUMP_ANALOG_NAMES, mnemonic); a >= 0) {
    Append(out, AnalogValue(unit, a, t));
  } else if (int d = IndexOf(DigitalValueNames, PUMP_DIGITAL_NAMES, mnemonic); d >= 0) {
    out += DigitalValue(unit, d, t) ? ",1" : ",0";
  } else {
    out = "099";
  }
  return out + "\r";
}

size_t psim_ReplyLimit(const std::string &mnemonic) {
  if (mnemonic == "PRV_ALL") return 140;
  if (mnemonic == "SETPOINT_ALL") return 101;
  return 20;
}
