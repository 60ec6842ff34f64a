// The server address and basic-authentication value of the OCPP link, from
// the link settings of FennickApp.
#pragma once

#include <cstdint>
#include <string>

#include "fennick_app.h"

namespace ocppj {

struct ServerAddress {
    std::string host;     // address to connect to
    int port = 0;
    std::string path;     // ends in the percent-encoded identity
    std::string hostHeader;  // "host:port", also the Origin
    std::string identity;    // identity in the path (and the basic-auth user)
};

// Parses "ws://host[:port][/path]" or "wss://..." and appends the identity
// (chargeBoxIdentity, or chargePointSerialNumber when that is empty) to the
// path, percent-encoded. False, with a reason, for any other text.
bool ParseServerURL(const std::string& url, bool tls, const std::string& identity, ServerAddress& out,
                    std::string* error);

// The identity the link uses: chargeBoxIdentity, else chargePointSerialNumber.
std::string LinkIdentity(const fennick::FennickApp& app);

// Base64 (RFC 4648, with padding, one line) of "user:password".
std::string BasicAuthValue(const std::string& user, const std::string& password);

}  // namespace ocppj
