#include "txn_queue.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "files.h"
#include "paths.h"

namespace ocppj {

namespace {

constexpr std::size_t kIdTagMax = 20;
constexpr std::size_t kValueMax = 127;

constexpr const char* kContexts[] = {
    "Interruption.Begin", "Interruption.End", "Other", "Sample.Clock",
    "Sample.Periodic", "Transaction.Begin", "Transaction.End", "Trigger",
};

bool ParseInt(std::string_view s, std::int32_t* out) {
    bool neg = false;
    if (!s.empty() && s[0] == '-') {
        neg = true;
        s.remove_prefix(1);
    }
    if (s.empty() || s.size() > 10) return false;
    std::int64_t v = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + (ch - '0');
    }
    if (neg) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<std::int32_t>(v);
    return true;
}

bool ParseUnsigned(std::string_view s, std::uint32_t* out) {
    if (s.empty() || s.size() > 10) return false;
    std::uint64_t v = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(ch - '0');
    }
    if (v > UINT32_MAX) return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

// A sampled value as the meter writes it: a decimal number.
bool NumberText(std::string_view s) {
    if (s.empty() || s.size() > kValueMax) return false;
    for (char ch : s)
        if (!((ch >= '0' && ch <= '9') || ch == '.' || ch == '-')) return false;
    return true;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    for (;;) {
        const std::size_t p = s.find(sep);
        out.push_back(s.substr(0, p));
        if (p == std::string_view::npos) return out;
        s.remove_prefix(p + 1);
    }
}

bool Fail(std::string* error, const char* what) {
    if (error) *error = what;
    return false;
}

// "<kind>:<connector>:\"<idTag>\":<n1>:...:<nk>": the head, the idTag and the
// k fields after it, taken from the right so the idTag may hold anything.
bool SplitIdTagLine(std::string_view line, std::size_t k, QueueRecord* r, std::vector<std::string_view>* tail,
                    std::string* error) {
    const std::size_t c1 = line.find(':', 2);
    if (c1 == std::string_view::npos) return Fail(error, "connector");
    if (!ParseInt(line.substr(2, c1 - 2), &r->connectorId)) return Fail(error, "connector");
    std::string_view rest = line.substr(c1 + 1);
    tail->assign(k, {});
    for (std::size_t i = k; i-- > 0;) {
        const std::size_t p = rest.rfind(':');
        if (p == std::string_view::npos) return Fail(error, "fields after the idTag");
        (*tail)[i] = rest.substr(p + 1);
        rest = rest.substr(0, p);
    }
    if (rest.size() < 2 || rest.front() != '"' || rest.back() != '"') return Fail(error, "idTag quotes");
    rest = rest.substr(1, rest.size() - 2);
    if (rest.size() > kIdTagMax || rest.find('\0') != std::string_view::npos) return Fail(error, "idTag length");
    r->idTag.assign(rest);
    return true;
}

}  // namespace

std::string FormatQueueLine(const QueueRecord& r) {
    if (r.idTag.find_first_of(std::string_view("\n\0", 2)) != std::string::npos) return {};
    char buf[1024];
    int n = -1;
    switch (r.kind) {
    case 1:
        n = std::snprintf(buf, sizeof buf, "%d:%d:\"%s\":%d:%d:%u", 1, r.connectorId, r.idTag.c_str(), r.meter,
                          r.reservationId, r.timestamp);
        break;
    case 2:
        n = std::snprintf(buf, sizeof buf, "%d:%d:\"%s\":%d:%u:%d:%d", 2, r.connectorId, r.idTag.c_str(), r.meter,
                          r.timestamp, r.transactionId, r.reason);
        break;
    case 3: {
        for (const std::string& v : r.values)
            if (v.empty() || v.size() > kValueMax || v.find_first_of(":\n") != std::string::npos) return {};
        if (r.context.empty() || r.context.find_first_of(":\n") != std::string::npos) return {};
        n = std::snprintf(buf, sizeof buf, "%d:%d:%d:%u:%s:%s:%s:%s:%s:%s:%s", 3, r.connectorId, r.transactionId,
                          r.timestamp, r.context.c_str(), r.values[0].c_str(), r.values[1].c_str(),
                          r.values[2].c_str(), r.values[3].c_str(), r.values[4].c_str(), r.values[5].c_str());
        break;
    }
    default:
        return {};
    }
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

std::optional<QueueRecord> ParseQueueLine(std::string_view line, std::string* error) {
    QueueRecord r;
    if (line.size() < 2 || line[1] != ':' || line[0] < '1' || line[0] > '3') {
        Fail(error, "kind");
        return std::nullopt;
    }
    if (line.find('\n') != std::string_view::npos) {
        Fail(error, "line feed inside the line");
        return std::nullopt;
    }
    r.kind = line[0] - '0';
    std::vector<std::string_view> f;
    if (r.kind == 1) {
        if (!SplitIdTagLine(line, 3, &r, &f, error)) return std::nullopt;
        if (!ParseInt(f[0], &r.meter) && !Fail(error, "meterStart")) return std::nullopt;
        if (!ParseInt(f[1], &r.reservationId) && !Fail(error, "reservationId")) return std::nullopt;
        if (!ParseUnsigned(f[2], &r.timestamp) && !Fail(error, "timestamp")) return std::nullopt;
        return r;
    }
    if (r.kind == 2) {
        if (!SplitIdTagLine(line, 4, &r, &f, error)) return std::nullopt;
        if (!ParseInt(f[0], &r.meter) && !Fail(error, "meterStop")) return std::nullopt;
        if (!ParseUnsigned(f[1], &r.timestamp) && !Fail(error, "timestamp")) return std::nullopt;
        if (!ParseInt(f[2], &r.transactionId) && !Fail(error, "transactionId")) return std::nullopt;
        if ((!ParseInt(f[3], &r.reason) || r.reason < 0 || r.reason > 10) && !Fail(error, "reason"))
            return std::nullopt;
        return r;
    }
    f = Split(line, ':');
    if (f.size() != 5 + kQueueMeterValues) {
        Fail(error, "number of fields");
        return std::nullopt;
    }
    if (!ParseInt(f[1], &r.connectorId) && !Fail(error, "connector")) return std::nullopt;
    if (!ParseInt(f[2], &r.transactionId) && !Fail(error, "transactionId")) return std::nullopt;
    if (!ParseUnsigned(f[3], &r.timestamp) && !Fail(error, "timestamp")) return std::nullopt;
    bool known = false;
    for (const char* c : kContexts) known = known || f[4] == c;
    if (!known && !Fail(error, "context")) return std::nullopt;
    r.context.assign(f[4]);
    for (std::size_t j = 0; j < kQueueMeterValues; ++j) {
        const std::string_view v = f[5 + j];
        if (!(v == "x" || NumberText(v)) && !Fail(error, kQueueMeasurands[j])) return std::nullopt;
        r.values[j].assign(v);
    }
    return r;
}

void TxnQueue::Init(const std::string& dir) { dir_ = dir; }

std::string TxnQueue::Path() const { return platform::SystemPath(dir_ + "TxnMsgQueue"); }

std::size_t TxnQueue::Size() const {
    struct stat st {};
    if (stat(Path().c_str(), &st) != 0) return 0;
    return static_cast<std::size_t>(st.st_size);
}

bool TxnQueue::Empty() const { return Size() == 0; }

std::string TxnQueue::Read() const {
    const std::size_t size = Size();
    return size == 0 ? std::string() : platform::ReadTextFile(Path(), size);
}

bool TxnQueue::Append(const std::string& line, bool meter) {
    std::string content = Read();
    if (meter && content.size() >= kQueueMeterLimit) return false;
    // A cut-short last line gets its end, so the new line stands on its own.
    if (!content.empty() && content.back() != '\n') content += '\n';
    content += line;
    content += '\n';
    return platform::ReplaceFile(Path(), content);
}

std::optional<std::string> TxnQueue::First() const {
    const std::string content = Read();
    if (content.empty()) return std::nullopt;
    return content.substr(0, content.find('\n'));
}

bool TxnQueue::DropFirst() {
    std::string content = Read();
    const std::size_t lf = content.find('\n');
    content.erase(0, lf == std::string::npos ? content.size() : lf + 1);
    return platform::ReplaceFile(Path(), content);
}

bool TxnQueue::SetAsideFirst() {
    const std::optional<std::string> first = First();
    if (!first) return true;
    platform::AppendToFile(platform::SystemPath(dir_ + "BadTxnMsgQueue"), *first + "\n");
    return DropFirst();
}

}  // namespace ocppj
