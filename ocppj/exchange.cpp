#include "exchange.h"

#include "shm.h"

namespace ocppj {

const char* const StatusNotification_ErrorCode[kErrorCodeCount] = {
    "ConnectorLockFailure", "EVCommunicationError", "GroundFailure", "HighTemperature",
    "InternalError", "LocalListConflict", "NoError", "OtherError",
    "OverCurrentFailure", "PowerMeterFailure", "PowerSwitchFailure", "ReaderFailure",
    "ResetFailure", "UnderVoltage", "OverVoltage", "WeakSignal",
};

const char* const StatusNotification_Status[kStatusCount] = {
    "Available", "Preparing", "Charging", "SuspendedEVSE", "SuspendedEV",
    "Finishing", "Reserved", "Unavailable", "Faulted",
};

const char* const StopTransaction_StopReason[kStopReasonCount] = {
    "EmergencyStop", "EVDisconnected", "HardReset", "Local", "Other", "PowerLoss",
    "Reboot", "Remote", "SoftReset", "UnlockCommand", "DeAuthorized",
};

const char* const kCallErrorCodes[kCallErrorCodeCount] = {
    "NotImplemented", "NotSupported", "InternalError", "ProtocolError", "SecurityError",
    "FormationViolation", "PropertyConstraintViolation", "OccurenceConstraintViolation",
    "TypeConstraintViolation", "GenericError",
};

std::uint8_t CallErrorResult(const std::string& code) {
    for (int i = 0; i < kCallErrorCodeCount; ++i)
        if (code == kCallErrorCodes[i]) return static_cast<std::uint8_t>(i + 1);
    if (code == "OccurrenceConstraintViolation") return 8;
    return kResultUnparsable;
}

int CommandIndex(const std::string& action) {
    for (int i = 0; i < kCommandCount; ++i)
        if (action == kCommandNames[i]) return i;
    return -1;
}

Exchange* AttachExchange(std::string* error) {
    return reinterpret_cast<Exchange*>(platform::AttachSegment(kExchangeKey, kExchangeSize, true, 0777, error));
}

}  // namespace ocppj
