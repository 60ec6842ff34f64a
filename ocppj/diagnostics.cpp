#include "diagnostics.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "clock.h"
#include "files.h"
#include "messages.h"
#include "paths.h"

namespace ocppj {

namespace {

bool NameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

bool SecretChar(char c) { return NameChar(c) && c != '.' && c != '_' && c != '-'; }

// A part of the archive name: a character that could lead out of /mnt or
// trouble a server's file name becomes "_".
std::string NamePart(std::string s) {
    for (char& c : s)
        if (!NameChar(c)) c = '_';
    return s;
}

// A directory setting as the folder it names, with its "/".
std::string AsDir(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

}  // namespace

GetDiagnosticsSlot& DiagnosticsSlot(Exchange& x) {
    return *reinterpret_cast<GetDiagnosticsSlot*>(reinterpret_cast<std::uint8_t*>(&x) + kGetDiagnosticsSlot);
}
const GetDiagnosticsSlot& DiagnosticsSlot(const Exchange& x) {
    return *reinterpret_cast<const GetDiagnosticsSlot*>(reinterpret_cast<const std::uint8_t*>(&x) + kGetDiagnosticsSlot);
}

std::string DiagnosticsSecret() {
    const std::string path = platform::SystemPath(kDiagSecretFile);
    const std::string text = platform::ReadTextFile(path, 64);
    if (text.size() >= kDiagSecretLength &&
        std::all_of(text.begin(), text.begin() + kDiagSecretLength, SecretChar)) {
        ::chmod(path.c_str(), 0600);  // whoever made it, only root reads it
        return text.substr(0, kDiagSecretLength);
    }
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string secret;
    while (secret.size() < kDiagSecretLength) {
        unsigned char b[16];
        if (getrandom(b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) return "";
        for (unsigned char v : b) {
            // 248 = 4 x 62: the values above it would favour the first letters.
            if (v < 248 && secret.size() < kDiagSecretLength) secret += kAlphabet[v % 62];
        }
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (!platform::ReplaceFile(path, secret + "\n", 0600)) return "";
    return secret;
}

bool WriteEncryptedZip(const std::string& archive, const std::vector<ArchiveEntry>& files, const std::string& passPhrase,
                       std::string* error) {
    auto failed = [&](const std::string& what) {
        if (error) *error = what;
        return false;
    };
    const std::string part = archive + ".part";
    std::error_code ec;
    std::filesystem::remove(part, ec);
    int code = 0;
    zip_t* za = zip_open(part.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (za == nullptr) return failed("cannot create " + part);
    for (const ArchiveEntry& f : files) {
        // A snapshot of the file: logs grow while they are packed.
        std::ifstream in(f.systemPath, std::ios::binary);
        if (!in) continue;  // gone since it was listed
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        void* copy = std::malloc(data.size() + 1);
        if (copy == nullptr) {
            zip_discard(za);
            return failed("out of memory");
        }
        std::memcpy(copy, data.data(), data.size());
        zip_source_t* src = zip_source_buffer(za, copy, data.size(), 1);
        if (src == nullptr) {
            std::free(copy);
            zip_discard(za);
            return failed("cannot read " + f.name);
        }
        const zip_int64_t index = zip_file_add(za, f.name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        if (index < 0) {
            zip_source_free(src);
            zip_discard(za);
            return failed("cannot add " + f.name);
        }
        if (zip_file_set_encryption(za, static_cast<zip_uint64_t>(index), ZIP_EM_TRAD_PKWARE, passPhrase.c_str()) != 0) {
            zip_discard(za);
            return failed("cannot encrypt " + f.name);
        }
    }
    if (zip_get_num_entries(za, 0) == 0) {
        zip_discard(za);
        return failed("nothing to pack");
    }
    if (zip_close(za) != 0) {
        const std::string why = zip_strerror(za);
        zip_discard(za);
        std::filesystem::remove(part, ec);
        return failed("cannot write " + part + ": " + why);
    }
    ::chmod(part.c_str(), 0600);
    std::filesystem::rename(part, archive, ec);
    if (ec) {
        std::filesystem::remove(part, ec);
        return failed("cannot rename " + part);
    }
    return true;
}

std::string Diagnostics::ArchivePath() const { return "/mnt/" + FieldText(DiagnosticsSlot(x_).fileName); }

void Diagnostics::GetDiagnosticsConf() {
    // A new request replaces one still in progress.
    End();
    const std::time_t t = static_cast<std::time_t>(platform::GetClock().WallSeconds());
    std::tm tm{};
    localtime_r(&t, &tm);
    char name[256];
    std::snprintf(name, sizeof name, "%4d%02d%02d%02d%02d%02d_%s_%s_%s", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  NamePart(FieldText(app_.bootIdentity.chargePointSerialNumber)).c_str(),
                  NamePart(FieldText(app_.bootIdentity.firmwareVersion)).c_str(), "FennickDiag.zip");
    GetDiagnosticsSlot& slot = DiagnosticsSlot(x_);
    std::memset(slot.fileName, 0, sizeof slot.fileName);
    PutText(slot.fileName, name);
    log_("[Info] GetDiagnostics location=" + MaskLocation(FieldText(slot.location)) + ",fileName=" + name);
}

void Diagnostics::Status(const char* status) {
    std::memset(x_.diagnosticsStatus.status, 0, sizeof x_.diagnosticsStatus.status);
    PutText(x_.diagnosticsStatus.status, status);
    SetBit(x_, kBitDiagnosticsStatus);
}

std::vector<ArchiveEntry> Diagnostics::ArchiveFiles() const {
    std::vector<ArchiveEntry> files;
    auto add = [&](const std::string& station) {
        std::string name = station;
        name.erase(0, name.find_first_not_of('/'));
        files.push_back({platform::SystemPath(station), name});
    };
    for (const std::string& setting :
         {FieldText(app_.diagLogDir1), FieldText(app_.diagLogDir2), FieldText(app_.ocppLogDir)}) {
        if (setting.empty()) continue;
        const std::string dir = AsDir(setting);
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(platform::SystemPath(dir), ec))
            if (e.is_regular_file(ec)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) add(dir + n);
    }
    const std::string extra = FieldText(app_.diagExtraFile);
    std::error_code ec;
    if (!extra.empty() && std::filesystem::is_regular_file(platform::SystemPath(extra), ec)) add(extra);
    return files;
}

bool Diagnostics::PackLog2RAM() {
    std::printf("[Info][Fennick] Pack Log\n");
    std::fflush(stdout);
    const std::string secret = DiagnosticsSecret();
    if (secret.empty()) {
        log_("[Error][Tarnet]Diagnostics: no archive key");
        return false;
    }
    std::string passPhrase = FieldText(app_.bootIdentity.chargePointSerialNumber) + secret;
    archive_ = ArchivePath();
    const std::string archive = platform::SystemPath(archive_);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(archive).parent_path(), ec);
    std::string error;
    const bool ok = WriteEncryptedZip(archive, ArchiveFiles(), passPhrase, &error);
    std::fill(passPhrase.begin(), passPhrase.end(), '\0');
    if (!ok) log_("[Error][Tarnet]Diagnostics archive: " + error);
    return ok;
}

std::vector<std::string> Diagnostics::UploadCommand() const {
    std::string location = FieldText(DiagnosticsSlot(x_).location);
    // The archive goes into the location as a directory, under its own name.
    if (location.empty() || location.back() != '/') location += '/';
    return CurlCommand(app_, {"-T", platform::SystemPath(ArchivePath()), "-m", std::to_string(kUploadSeconds)},
                       location);
}

bool Diagnostics::InitUploadDiag() {
    const std::vector<std::string> argv = UploadCommand();
    log_("[Info] Diagnostics upload: curl -T " + ArchivePath() + " " + MaskLocation(argv.back()));
    transfer_ = starter_(argv);
    checked_ = false;
    return transfer_ != nullptr;
}

int Diagnostics::CheckUploadDiagStatus() {
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (checked_ && now - checkMs_ < kCheckMs) return 1;
    if (!transfer_) return 0;
    const Transfer::State state = transfer_->Poll();
    if (state == Transfer::State::Running) {
        checked_ = true;
        checkMs_ = now;
        return 1;
    }
    transfer_.reset();
    checked_ = false;
    return state == Transfer::State::Succeeded ? 2 : 0;
}

void Diagnostics::End() {
    if (transfer_) {
        transfer_->Stop();
        transfer_.reset();
    }
    if (!archive_.empty()) {
        std::error_code ec;
        std::filesystem::remove(platform::SystemPath(archive_), ec);
        archive_.clear();
    }
    GetDiagnosticsSlot& slot = DiagnosticsSlot(x_);
    std::memset(slot.fileName, 0, sizeof slot.fileName);
    step_ = 0;
    attempts_ = 0;
    retryWait_ = false;
    checked_ = false;
}

void Diagnostics::GetDiagnosticsMgmt() {
    const GetDiagnosticsSlot& slot = DiagnosticsSlot(x_);
    if (slot.fileName[0] == '\0') {
        if (step_ != 0 || transfer_) End();
        return;
    }
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (TestBit(x_, kBitDiagnosticsStatus)) return;
    const std::int64_t intervalMs = slot.retryInterval < 0 ? 0 : static_cast<std::int64_t>(slot.retryInterval) * 1000;
    if (retryWait_ && now - retryStartMs_ < intervalMs) return;
    switch (step_) {
    case 0: {
        const bool packed = PackLog2RAM();
        Status("Uploading");
        if (!packed || !InitUploadDiag()) transfer_.reset();  // counts as a failed try at the first check
        step_ = 1;
        break;
    }
    case 1: {
        const int r = CheckUploadDiagStatus();
        if (r == 1) break;
        if (r == 2) {
            log_("[Info] Upload Diagnostic OK");
            Status("Uploaded");
            step_ = 2;
            break;
        }
        ++attempts_;
        log_("[Info] Upload Diagnostic Failed");
        Status("UploadFailed");
        if (attempts_ > (slot.retries < 0 ? 0 : slot.retries)) {
            step_ = 2;
        } else {
            step_ = 0;
            retryWait_ = true;
            retryStartMs_ = now;
        }
        break;
    }
    default:
        End();
        break;
    }
}

}  // namespace ocppj
