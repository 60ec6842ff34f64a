#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

namespace {

int g_cutIn = -1;  // steps left before the cut, -1 none

// False when this step falls at or after the cut.
bool PowerOn() {
    if (g_cutIn < 0) return true;
    if (g_cutIn == 0) return false;
    --g_cutIn;
    return true;
}

// write(), of which a cut keeps only the first half.
ssize_t CutWrite(int fd, const void* p, std::size_t len) {
    if (PowerOn()) return write(fd, p, len);
    if (len > 1) (void)!write(fd, p, len / 2);
    errno = EIO;
    return -1;
}

}  // namespace

void SetWriteCutForTest(int step) { g_cutIn = step; }

ssize_t ReadFileBytes(const std::string& path, std::uint8_t* buf, std::size_t len) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, buf + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return -1;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    return static_cast<ssize_t>(got);
}

bool WriteFileBytesAt(const std::string& path, std::size_t offset, const std::uint8_t* data, std::size_t len) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, data + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = done == len && fsync(fd) == 0;
    close(fd);
    return ok;
}

bool AppendToFile(const std::string& path, const std::string& text) {
    if (!PowerOn()) return false;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // A file that does not end in a line feed (cut by a full disk or a power
    // cut, or written so by hand) gets one first, so the new line never
    // continues the fragment.
    std::string out;
    struct stat st{};
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') {
        out.push_back('\n');
    }
    out += text;
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = CutWrite(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    return done == out.size();
}

bool ReadFileAtMost(const std::string& path, std::size_t maxBytes, std::string* content) {
    content->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // One byte beyond the size the file tells lets the read see its end in
    // one pass; a file that grew since, or tells no size, gets room doubled.
    struct stat st{};
    std::size_t size = 4096;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) size = static_cast<std::size_t>(st.st_size) + 1;
    std::size_t got = 0;
    bool end = false;
    while (!end && got < maxBytes) {
        size = std::min(size, maxBytes);
        content->resize(size);
        while (got < size) {
            ssize_t n = read(fd, content->data() + got, size - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                close(fd);
                content->clear();
                return false;
            }
            if (n == 0) {
                end = true;
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        size *= 2;
    }
    close(fd);
    content->resize(got);
    return true;
}

std::string ReadTextFile(const std::string& path, std::size_t maxBytes) {
    std::string s;
    ReadFileAtMost(path, maxBytes, &s);
    return s;
}

bool ReplaceFile(const std::string& path, const void* data, std::size_t len, mode_t mode) {
    const std::string tmp = path + ".tmp";
    if (!PowerOn()) return false;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    fchmod(fd, mode);  // an older temporary file keeps its mode otherwise
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < len) {
        ssize_t n = CutWrite(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false; else done += static_cast<std::size_t>(n);
    }
    ok = ok && PowerOn() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && PowerOn() && rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        if (g_cutIn == 0) return false;  // no power left to tidy up
        unlink(tmp.c_str());
        return false;
    }
    // The rename itself is durable only once the folder is synced.
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

}  // namespace platform
