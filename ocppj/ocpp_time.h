// Date-time texts of OCPP and the OCPP log file shared by Fennick and Tarnet.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fennick_app.h"
#include "timeutil.h"

namespace ocppj {

// Epoch seconds of an ISO 8601 date-time "YYYY-MM-DDThh:mm:ss[.fff][Z|+hh:mm|-hh:mm]"
// (no zone: UTC); 0 for any other text.
std::int64_t UtcToEpoch(std::string_view text);
using common::EpochToUTC;

// Appends "YYYY.MM.DD hh:mm:ss-<text>\n" (local time) to
// "<ocppLogDir>[YYYY.MM]Fennick_Log.csv", creating the directory. Returns 1.
int RecordFennickLog(const fennick::FennickApp& app, std::string_view text);

}  // namespace ocppj
