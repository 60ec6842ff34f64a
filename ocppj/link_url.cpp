#include "link_url.h"

#include <cctype>
#include <cstring>

#include "messages.h"

namespace ocppj {

namespace {

std::string PercentEncode(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

std::string LinkIdentity(const fennick::FennickApp& app) {
    std::string id = FieldText(app.chargeBoxIdentity);
    if (!id.empty()) return id;
    const auto& sn = app.bootIdentity.chargePointSerialNumber;
    return std::string(sn, strnlen(sn, sizeof sn));
}

bool ParseServerURL(const std::string& url, bool tls, const std::string& identity, ServerAddress& out,
                    std::string* error) {
    auto fail = [&](const char* why) {
        if (error) *error = why;
        return false;
    };
    std::size_t sep = url.find("://");
    if (sep == std::string::npos) return fail("no scheme");
    std::string scheme = url.substr(0, sep);
    if (scheme != "ws" && scheme != "wss") return fail("scheme is not ws or wss");
    if ((scheme == "wss") != tls) return fail("scheme does not match the TLS setting");
    std::size_t start = sep + 3;
    std::size_t slash = url.find('/', start);
    std::string authority = url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    std::size_t colon = authority.rfind(':');
    out.port = tls ? 443 : 80;
    if (colon != std::string::npos && authority.find(']') == std::string::npos) {
        std::string port = authority.substr(colon + 1);
        authority.resize(colon);
        if (port.empty() || port.size() > 5) return fail("bad port");
        for (char c : port)
            if (!std::isdigit(static_cast<unsigned char>(c))) return fail("bad port");
        out.port = std::stoi(port);
        if (out.port < 1 || out.port > 65535) return fail("bad port");
    }
    if (authority.empty()) return fail("no host");
    for (unsigned char c : authority)
        if (c <= ' ' || c == '@' || c >= 0x7F) return fail("bad host");
    out.host = authority;
    out.path = slash == std::string::npos ? "/" : url.substr(slash);
    if (out.path.back() != '/') out.path += '/';
    out.identity = identity;
    out.path += PercentEncode(identity);
    out.hostHeader = out.host + ":" + std::to_string(out.port);
    return true;
}

std::string BasicAuthValue(const std::string& user, const std::string& password) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string in = user + ":" + password;
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += alphabet[v >> 6 & 63];
        out += alphabet[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += alphabet[v >> 6 & 63];
        out += '=';
    }
    return out;
}

}  // namespace ocppj
