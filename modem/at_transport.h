// One AT command out, one answer back: the command with its CR, then the
// module's bytes until "\r\nOK\r\n", a CME error, a bare ERROR, the 4-s limit
// or 2048 bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "modem_io.h"

namespace modem {

inline constexpr std::size_t kMaxCommandText = 127;
inline constexpr std::size_t kAnswerBuffer = 2048;
inline constexpr int kAnswerLimitMs = 4000;
inline constexpr int kSendLimitMs = 10000;

// `text` holds `part`.
inline bool Holds(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// The text after "+CME ERROR:" in an answer holding it, at most 127 bytes.
inline std::string CmeText(std::string_view answer) {
    return std::string(answer.substr(answer.find("+CME ERROR:") + 11, 127));
}

// A pause of whole seconds on the clock in use.
void Sleep(int seconds);

// Which part of the answer the caller gets.
enum class AnswerPart {
    FirstLine,          // the first line after the echo; a "^SYSSTART" line before it is dropped
    FirstLineFactory,   // the same, but the start-up line stays when it tells "FACTORY TEST MODE"
    AllLines,           // everything after the echo line (context lists)
};

// Writes the command and its CR: the bytes written, 0 when the text is too
// long, the line fails or does not take the bytes within 10 s.
std::size_t SendCmd(ModemIo& io, int fd, std::string_view command);

// Collects the answer. True with `answer` holding the wanted part (at most
// `maxLen` bytes), or empty when 2048 bytes came without a result code; a CME
// error line is an answer. False on a bare ERROR, a line error or the 4-s limit.
bool RecvData(ModemIo& io, int fd, std::string& answer, AnswerPart part = AnswerPart::FirstLine,
              std::size_t maxLen = 255);

// The wanted part of a complete answer buffer (what RecvData hands back once
// a result code is in). Exposed for the parser tests.
std::string_view LocateAnswer(std::string_view received, AnswerPart part);

enum class Exchange { Ok, SendFailed, RecvFailed };
// SendCmd, then RecvData on success.
Exchange Ask(ModemIo& io, int fd, std::string_view command, std::string& answer,
             AnswerPart part = AnswerPart::FirstLine, std::size_t maxLen = 255);

}  // namespace modem
