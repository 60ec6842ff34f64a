// The CHAdeMO lines beside the CAN bus, through the GPIO value files: the
// charger's d1 and d2 and connector lock, the vehicle's permission j, the
// plug's proximity and the lock detector.
#pragma once

namespace chademo {

inline constexpr int kGpioD1 = 82, kGpioD2 = 68, kGpioJ = 44, kGpioProximity = 46, kGpioLock = 80,
                     kGpioLockDetect = 85;
inline constexpr long kLockEngageMs = 500;

class VehicleSignals {
public:
    // Exports the lines and gives them their directions.
    bool Setup();
    // `SwitchD1D2`: signal 1 is d1, 2 is d2. 1 for a known signal.
    int SwitchD1D2(int signal, int value);
    // `GetD1D2`: the output read back; 0 when unreadable.
    int GetD1D2(int signal);
    // `GetOptoJ`: 0 while the vehicle gives permission, 1 otherwise. A line
    // that cannot be read gives no permission.
    int GetOptoJ();
    // `ConnectorLock`: 0 unlocks, 1 locks (waiting up to kLockEngageMs for
    // the detector), 2 only tests; 1 when locked.
    int ConnectorLock(int v);
    // `getProximity`: one debounced reading; a new level counts on its second
    // reading in a row. True while a plug is present.
    bool Proximity();
    // `getProximity2`: 1 when the line settles at plug present within 21
    // readings 10 ms apart.
    int SettledProximity();

private:
    char accepted_ = '1';
    unsigned differing_ = 0;
};

}  // namespace chademo
