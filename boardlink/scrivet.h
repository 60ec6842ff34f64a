// Scrivet: the main board's end of the board link. It hand-shakes with the
// CCS board, then cycles: settings frame out, status frame in and mirrored
// into the main board's register map, CCS session error analysis.
#pragma once

#include <cstdint>
#include <functional>

#include "din_errors.h"
#include "link_frames.h"
#include "link_port.h"
#include "regmap.h"

namespace boardlink {

// Windows of the master, ms.
inline constexpr int kAckWindowMs = 3000;           // acknowledgement of a command
inline constexpr int kHandShakeReadMs = 1000;       // one read time-out of the line
inline constexpr int kStatusWindowMs = 9000;        // the 64-byte status frame
inline constexpr int kSettingsWriteWindowMs = 3000;
inline constexpr std::int64_t kLinkAlarmAfterMs = 60000;
inline constexpr int kGfdAnswerMs = 3000;           // the detector's time to answer the self-test

// GFD self-test states.
enum : std::uint8_t { kGfdIdle = 0, kGfdRequested = 1, kGfdRunning = 2, kGfdFailed = 3, kGfdDone = 4 };

struct Scrivet {
    regmap::RegisterMap map;                 // MeterSMPtr: the main board's map
    linkwire::EVDataFrame EVData{};        // last status frame
    linkwire::EVSEDataFrame EVSEData{};    // settings frame being sent
    std::uint8_t GFDSelfTest = kGfdIdle;
    common::TimeStamp GFDSelfTestStartTime;
    std::uint8_t u8PevStatusUpdate = 0;
    std::uint8_t vCmdLowFlag = 0, vCmdHighFlag = 0, iCmdHighFlag = 0;
    DinErrorState din;
    // The last status frame taken, against which the next one is confirmed
    // (none right after a hand-shake), and the frames refused.
    linkwire::EVDataFrame lastFrame{};
    bool haveLastFrame = false;
    unsigned framesRefused = 0;
    // The CCS-board firmware push: 1 when the CCS board reported success
    // (unset: UpdateCAImage).
    std::function<int(linkwire::LinkPort&)> updateCAImage;
};

// Start-up step 4: the main board's initial CCS status block.
void InitCcsStatusBlock(regmap::RegisterMap& map);

int HandShake(Scrivet& s, linkwire::LinkPort& port);
int SendEVSEData(Scrivet& s, linkwire::LinkPort& port);
int GetCCSData(Scrivet& s, linkwire::LinkPort& port);
int ChargerMalfun(const regmap::RegisterMap& map);

// Builds the settings frame from the map (the GFD self-test steps meanwhile).
void BuildEVSEData(Scrivet& s);
// Copies a status frame taken as a whole (checked and confirmed) into the
// main board's map.
void MirrorStatus(Scrivet& s);
// Takes a received status frame (already checked for its 0x55 ... 0xAA
// frame): a frame with an impossible value is refused (false) and changes
// nothing; otherwise the values that arm, stop or raise an alarm take effect
// once two frames agree on them (a disarm or a switch-off at once), the
// others as they come.
bool TakeStatusFrame(Scrivet& s);

// Hand-shake, then settings / status / analysis until a step fails (false)
// or a firmware push is requested (true). `maxCycles` bounds the cycles
// (negative: no bound; reaching it returns false).
bool LinkCycle(Scrivet& s, linkwire::LinkPort& port, int maxCycles = -1);

// The firmware push and its result; the program then idles.
void FirmwarePush(Scrivet& s, linkwire::LinkPort& port);

}  // namespace boardlink
