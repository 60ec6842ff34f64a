#include "at_transport.h"

#include <cstdint>

#include "clock.h"

namespace modem {
namespace {

constexpr std::string_view kCrLf = "\r\n";

}  // namespace

void Sleep(int seconds) { platform::GetClock().SleepMs(seconds * 1000LL); }

std::size_t SendCmd(ModemIo& io, int fd, std::string_view command) {
    if (command.size() > kMaxCommandText) return 0;
    std::string line(command);
    line += '\r';
    auto& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    std::size_t written = 0;
    while (written < line.size()) {
        ssize_t n = io.Write(fd, reinterpret_cast<const std::uint8_t*>(line.data()) + written, line.size() - written);
        if (n < 0) return 0;
        written += static_cast<std::size_t>(n);
        if (written < line.size()) {
            if (clock.MonotonicMs() - start >= kSendLimitMs) return 0;
            if (n == 0) clock.SleepMs(10);
        }
    }
    return written;
}

std::string_view LocateAnswer(std::string_view rx, AnswerPart part) {
    std::size_t p = 0;
    while (rx.substr(p, 2) == kCrLf) p += 2;
    std::string_view rest = rx.substr(p);
    const bool keepStartLine = part == AnswerPart::FirstLineFactory && Holds(rest, "FACTORY TEST MODE");
    std::size_t start = rest.find("^SYSSTART");
    if (!keepStartLine && start != std::string_view::npos) {
        std::size_t end = rest.find(kCrLf, start);
        if (end == std::string_view::npos) return {};
        rest = rest.substr(end + 2);
    }
    // The echo of the command ends at the first line end.
    std::size_t echoEnd = rest.find(kCrLf);
    if (echoEnd == std::string_view::npos) return {};
    rest = rest.substr(echoEnd + 2);
    if (part == AnswerPart::AllLines) return rest;
    std::size_t lineEnd = rest.find(kCrLf);
    return lineEnd == std::string_view::npos ? rest : rest.substr(0, lineEnd);
}

bool RecvData(ModemIo& io, int fd, std::string& answer, AnswerPart part, std::size_t maxLen) {
    answer.clear();
    std::uint8_t buf[kAnswerBuffer];
    std::size_t received = 0;
    auto& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    while (received < kAnswerBuffer) {
        const std::int64_t left = kAnswerLimitMs - (clock.MonotonicMs() - start);
        if (left <= 0) return false;
        ssize_t n = io.Read(fd, buf + received, kAnswerBuffer - received, static_cast<int>(left));
        if (n <= 0) return false;  // line error, or nothing more within the limit
        received += static_cast<std::size_t>(n);
        std::string_view rx(reinterpret_cast<const char*>(buf), received);
        if (Holds(rx, "\r\nOK\r\n") || Holds(rx, "+CME ERROR")) {
            std::string_view a = LocateAnswer(rx, part);
            // Never more than the caller's area holds.
            answer.assign(a.substr(0, maxLen));
            return true;
        }
        if (Holds(rx, "ERROR")) return false;
    }
    return true;  // full without a result code: nothing handed back
}

Exchange Ask(ModemIo& io, int fd, std::string_view command, std::string& answer, AnswerPart part,
             std::size_t maxLen) {
    answer.clear();
    if (SendCmd(io, fd, command) == 0) return Exchange::SendFailed;
    return RecvData(io, fd, answer, part, maxLen) ? Exchange::Ok : Exchange::RecvFailed;
}

}  // namespace modem
