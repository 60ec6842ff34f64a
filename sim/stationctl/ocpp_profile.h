// Loads FennickApp from an OCPP profile file ("name=value" lines), as the
// station controller does at boot.
#pragma once

#include <string>

#include "fennick_app.h"

// Applies one "name=value" setting; false for an unknown name or a value
// that does not fit its field.
bool ApplyOcppSetting(fennick::FennickApp& app, const std::string& name, const std::string& value);
// Reads a profile file: blank lines and lines starting with '#' are skipped.
bool LoadOcppProfile(fennick::FennickApp& app, const std::string& path, std::string* error);
