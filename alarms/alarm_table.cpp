#include "alarm_table.h"

namespace alarms {
namespace {

// index, mask, code, OCPP 1.5 texts raised and cleared, trap, CpStatus record,
// alarm OID, vendorErrorCode OID, rule, force bit.
constexpr AlarmRow kRows[] = {
    {0, 0x01, "4007", "System filter need to be replaced", "System filter already be replaced", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 312
    {0, 0x02, "6007", nullptr, nullptr, false, false, nullptr, nullptr, Rule::None, 0, 0},  // 312
    {0, 0x04, "6008", nullptr, nullptr, false, false, nullptr, nullptr, Rule::None, 0, 0},  // 312
    {0, 0x08, "6009", nullptr, nullptr, false, false, nullptr, nullptr, Rule::None, 0, 0},  // 312
    {0, 0x10, "500D", "RFID reader error", "RFID reader error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 312
    {0, 0x20, "5007", "Quorzel communication error", "Quorzel communication error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 312
    {0, 0x40, "5006", "SMR communication error", "SMR communication error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 312
    {0, 0x80, "", nullptr, nullptr, false, false, nullptr, nullptr, Rule::TrackOnly, 0, 0},  // 312
    {1, 0x01, "7001", "SMR hardware error", "SMR hardware error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 313
    {1, 0x02, "B005", "Pevrane update error ", "Pevrane update error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 313
    {1, 0x04, "B004", "Quorzel update error ", "Quorzel update error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 313
    {1, 0x08, "B006", "SMR update error ", "SMR update error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 313
    {1, 0x10, "B003", "LCM update error ", "LCM update error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 313
    {1, 0x20, "500C", "LCM communicaion error ", "LCM communicaion error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 313
    {2, 0x01, "4003", "System Output OVP ", "System Output OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 314
    {2, 0x02, "4004", "System Output OCP ", "System Output OCP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 314
    {2, 0x04, "4022", "System Input Drop ", "System Input Drop recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 314
    {2, 0x08, "4023", "System InputL1 UVP ", "System InputL1 UVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 314
    {2, 0x20, "4005", "System Ambient OTP ", "System Ambient OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 314
    {2, 0x40, "4013", "System Ambient UTP ", "System Ambient UTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 314
    {2, 0x80, "9003", "GFD Pre-Warning ", "GFD Pre-Warning recovered", true, true, nullptr, nullptr, Rule::GfdPreWarning, 0, 0},  // 314
    {3, 0x01, "7006", "Smr Ambient OTP ", "Smr Ambient OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 315
    {3, 0x02, "7007", "Smr Ambient UTP ", "Smr Ambient UTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 315
    {3, 0x04, "7008", "Smr Pfc OTP ", "Smr Pfc OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 315
    {3, 0x08, "7009", "Smr Pfc UTP ", "Smr Pfc UTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 315
    {3, 0x10, "700C", "Smr Fan broken ", "Smr Fan broken recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 315
    {3, 0x20, "700A", "Smr DcDc OTP ", "Smr DcDc OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 315
    {3, 0x40, "700B", "Smr DcDc UTP ", "Smr DcDc UTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 315
    {3, 0x80, "9001", "GFD alarm ", "GFD alarm recovered", true, true, nullptr, nullptr, Rule::Gfd, 0, 0},  // 315
    {4, 0x01, "7004", "Smr Output OVP ", "Smr Output OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 316
    {4, 0x02, "7005", "Smr Output UVP ", "Smr Output UVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 316
    {4, 0x04, "7002", "Smr Input OVP ", "Smr Input OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 316
    {4, 0x08, "7003", "Smr Input UVP ", "Smr Input UVP recovered", true, true, nullptr, nullptr, Rule::SmrInputUvp, 0, 0},  // 316
    {4, 0x10, "400A", "Emergency Button alarm ", "Emergency Button alarm recovered", true, true, nullptr, nullptr, Rule::EmergencyButton, 0, 0},  // 316
    {4, 0x20, "700D", "Smr Output Oring Diod Fail ", "Smr Output Oring Diod Fail recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 316
    {4, 0x40, "4021", nullptr, nullptr, true, false, nullptr, nullptr, Rule::None, 0, 0},  // 316
    {4, 0x80, "4014", nullptr, nullptr, true, false, nullptr, nullptr, Rule::None, 0, 0},  // 316
    {5, 0x01, "4001", "System Input OVP ", "System Input OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 317
    {5, 0x02, "4002", "System Input UVP ", "System Input UVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 317
    {5, 0x04, "700E", "Isolation test fail ", "Isolation test fail recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 317
    {5, 0x08, "8003", "Aux5vCsu OVP ", "Aux5vCsu OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 317
    {5, 0x10, "8009", "Aux5vCsu UVP ", "Aux5vCsu UVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 317
    {5, 0x20, "8007", "Aux12vEv OVP ", "Aux12vEv OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 317
    {5, 0x40, "800D", "Aux12vEv UVP ", "Aux12vEv UVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 317
    {5, 0x80, "8006", "Aux12vSys OVP ", "Aux12vSys OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 317
    {6, 0x01, "800C", "Aux12vSys UVP ", "Aux12vSys UVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 318
    {6, 0x02, "8004", "Aux5vSys OVP ", "Aux5vSys OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 318
    {6, 0x04, "800A", "Aux5vSys UVP ", "Aux5vSys UVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 318
    {6, 0x08, "8014", "Aux12vEv OCP ", "Aux12vEv OCP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 318
    {6, 0x10, "8019", "AuxAmbient OTP ", "AuxAmbient OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 318
    {6, 0x20, "8016", "Aux12vEv OTP ", "Aux12vEv OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 318
    {6, 0x40, "8017", "Aux5vSys OTP ", "Aux5vSys OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 318
    {6, 0x80, "8018", "Aux2415vRelay OTP ", "Aux2415vRelay OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 318
    {7, 0x10, "4008", "System Fan Error ", "System Fan Error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 319
    {7, 0x20, "5009", "Relay board communication error ", "Relay board communication error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 319
    {7, 0x40, "5008", "Aux. board communication error ", "Aux. board communication error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 319
    {7, 0x80, "8015", "Aux2415vRelay OCP ", "Aux2415vRelay OCP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 319
    {8, 0x02, "C003", "CcsStopByEV ", "CcsStopByEV recovered", true, true, ".1.3.6.1.4.1.4291.1.8.5.30.10", nullptr, Rule::None, 0, 0},  // 320
    {8, 0x04, "4010", "System Output Fuse1 Error ", "System Output Fuse1 Error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 320
    {8, 0x08, "4011", "System Output Fuse2 Error ", "System Output Fuse2 Error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 320
    {8, 0x10, "5005", "CCS EV communication Fail ", "CCS EV communication Fail recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 320
    {8, 0x20, "C001", "PLC module error ", "PLC module error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 320
    {8, 0x40, "B001", "Aux.Power board update fail ", "Aux.Power board update fail recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 320
    {8, 0x80, "B002", "Relay board update fail ", "Relay board update fail recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 320
    {9, 0x01, "400D", "System Inlet Sensor Broken ", "System Inlet Sensor Broken recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 321
    {9, 0x02, "400E", "System Critical Sensor Broken ", "System Critical Sensor Broken recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 321
    {9, 0x04, "4012", "System Connector Sensor Broken ", "System Connector Sensor Broken recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 321
    {9, 0x08, "4006", "System Connector OTP ", "System Connector OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 321
    {9, 0x10, "C002", "CcsProximityDisconnection ", "CcsProximityDisconnection recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 321
    {9, 0x20, "D00C", "ChademoProximityDisconn ", "ChademoProximityDisconn recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 321
    {10, 0x01, "9002", "Relay Board Diod OTP ", "Relay Board Diod OTP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 322
    {10, 0x02, "8011", "Aux5vSys OCP ", "Aux5vSys OCP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 322
    {10, 0x04, "8012", "Aux5vCan OCP ", "Aux5vCan OCP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 322
    {10, 0x08, "8013", "Aux12vSys OCP ", "Aux12vSys OCP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 322
    {10, 0x10, "8008", "Aux2415vRelay OVP ", "Aux2415vRelay OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 322
    {10, 0x20, "800E", "Aux2415vRelay UVP ", "Aux2415vRelay UVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 322
    {10, 0x40, "8005", "Aux5vCan OVP ", "Aux5vCan OVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 322
    {10, 0x80, "800B", "Aux5vCan UVP ", "Aux5vCan UVP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 322
    {11, 0x01, "A001", "Input Contactor1 Welding ", "Input Contactor1 Welding recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 323
    {11, 0x02, "A002", "Input Contactor1 Drive Error ", "Input Contactor1 Drive Error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 323
    {11, 0x04, "A003", "Input Contactor2 Welding ", "Input Contactor2 Welding recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 323
    {11, 0x08, "A004", "Input Contactor2 Drive Error ", "Input Contactor2 Drive Error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 323
    {11, 0x10, "A005", "Output Relay1P Welding ", "Output Relay1P Welding recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 323
    {11, 0x20, "A006", "Output Relay1P Drive Error ", "Output Relay1P Drive Error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 323
    {11, 0x40, "A007", "Output Relay2P Welding ", "Output Relay2P Welding recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 323
    {11, 0x80, "A008", "Output Relay2P Drive Error ", "Output Relay2P Drive Error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 323
    {12, 0x01, "A009", "Output Relay1N Welding ", "Output Relay1N Welding recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 324
    {12, 0x02, "A00A", "Output Relay1N Drive Error ", "Output Relay1N Drive Error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 324
    {12, 0x04, "A00B", "Output Relay2N Welding ", "Output Relay2N Welding recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 324
    {12, 0x08, "A00C", "Output Relay2N Drive Error ", "Output Relay2N Drive Error recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 324
    {27, 0x01, "500E", "3G Module communication fail ", "3G Module communication fail recovered", true, true, nullptr, nullptr, Rule::ModemComm, 0, 0},  // 339
    {27, 0x02, "6001", "3G disconnected from APN ", "3G disconnected from APN recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 339
    {27, 0x04, "6002", "3G disconnected from Internet ", "3G disconnected from Internet recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 339
    {27, 0x08, "6003", "3G disconnected from backend ", "3G disconnected from backend recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 339
    {27, 0x10, "500F", "WiFi module communication fail ", "WiFi module communication fail recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 339
    {27, 0x20, "6004", "WiFi disconnected from AP ", "WiFi disconnected from AP recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 339
    {27, 0x40, "6005", "WiFi disconnected from Internet ", "WiFi disconnected from Internet recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 339
    {27, 0x80, "6006", "WiFi disconnected from backend ", "WiFi disconnected from backend recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 339
    {28, 0x02, "4015", "CCS connector need to be replaced ", "CCS connector need to be replaced recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 340
    {28, 0x04, "4016", "CHAdeMO connector need to be replaced ", "CHAdeMO connector need to be replaced recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 340
    {28, 0x08, "4017", "SystemPluginTimeout ", "SystemPluginTimeout recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 340
    {28, 0x10, "4018", "SystemChargingTimesUp ", "SystemChargingTimesUp recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 340
    {28, 0x20, "D001", "ChademoNoPermission ", "ChademoNoPermission recovered", true, true, nullptr, nullptr, Rule::Forced, 21526, 0x01},  // 340
    {28, 0x40, "", nullptr, nullptr, false, false, nullptr, nullptr, Rule::TrackOnly, 0, 0},  // 340
    {28, 0x80, "D003", "ChademoBattIncompatibility ", "ChademoBattIncompatibility recovered", true, true, nullptr, nullptr, Rule::Forced, 21526, 0x02},  // 340
    {29, 0x01, "D005", "ChademoBattOVP ", "ChademoBattOVP recovered", true, true, nullptr, nullptr, Rule::Forced, 21526, 0x08},  // 341
    {29, 0x02, "D004", "ChademoBattUVP ", "ChademoBattUVP recovered", true, true, nullptr, nullptr, Rule::Forced, 21526, 0x04},  // 341
    {29, 0x04, "D006", "ChademoBattCurrentDiff ", "ChademoBattCurrentDiff recovered", true, true, nullptr, nullptr, Rule::Forced, 21526, 0x10},  // 341
    {29, 0x08, "D007", "ChademoBattOTP ", "ChademoBattOTP recovered", true, true, nullptr, nullptr, Rule::Forced, 21526, 0x20},  // 341
    {29, 0x10, "D008", "ChademoBattVoltageDiff ", "ChademoBattVoltageDiff recovered", true, true, nullptr, nullptr, Rule::Forced, 21526, 0x40},  // 341
    {29, 0x20, "D009", "ChademoShiftPosition ", "ChademoShiftPosition recovered", true, true, nullptr, nullptr, Rule::Forced, 21526, 0x80},  // 341
    {29, 0x40, "D00A", "ChademoOtherFaults ", "ChademoOtherFaults recovered", true, true, nullptr, nullptr, Rule::Forced, 21527, 0x01},  // 341
    {29, 0x80, "D00B", "Chademo Connector Error ", "Chademo Connector Error recovered", true, true, nullptr, nullptr, Rule::Forced, 21527, 0x02},  // 341
    {30, 0x01, "400B", "SystemAuthByBackendPnCFail ", "SystemAuthByBackendPnCFail recovered", true, true, nullptr, ".1.3.6.1.4.1.4291.1.8.5.30.1", Rule::None, 0, 0},  // 342
    {30, 0x02, "400C", nullptr, nullptr, true, false, nullptr, nullptr, Rule::None, 0, 0},  // 342
    {31, 0x02, "400F", "SPD alarm ", "SPD alarm recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 343
    {31, 0x20, "4019", "Memory leakage ", "Memory leakage recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 343
    {31, 0x40, "4009", "Initialization fail ", "Initialization fail recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 343
    {31, 0x80, "4020", "Unknow fault ", "Unknow fault recovered", true, true, nullptr, nullptr, Rule::None, 0, 0},  // 343
};

}  // namespace

std::span<const AlarmRow> AlarmRows() { return kRows; }

}  // namespace alarms
