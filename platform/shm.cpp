#include "shm.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

std::uint8_t* Attach(int id, std::string* error) {
    void* p = shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
        if (error) *error = std::string("shmat: ") + std::strerror(errno);
        return nullptr;
    }
    return static_cast<std::uint8_t*>(p);
}

}  // namespace

std::uint8_t* AttachSegment(int key, std::size_t size, bool create, int mode, std::string* error) {
    int id = shmget(static_cast<key_t>(key), size, (create ? IPC_CREAT : 0) | mode);
    if (id < 0) {
        if (error) *error = std::string("shmget: ") + std::strerror(errno);
        return nullptr;
    }
    return Attach(id, error);
}

std::uint8_t* AttachExistingSegment(int key, std::size_t* size, std::string* error) {
    int id = shmget(static_cast<key_t>(key), 0, 0);
    shmid_ds ds{};
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) {
        if (error) *error = std::string("no segment: ") + std::strerror(errno);
        return nullptr;
    }
    std::uint8_t* p = Attach(id, error);
    if (p != nullptr) *size = ds.shm_segsz;
    return p;
}

void ReportInitFailure(const std::string& segmentName, const std::string& reason) {
    std::printf("System init failed:%s\n", segmentName.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "System init failed:%s (%s)\n", segmentName.c_str(), reason.c_str());
}

}  // namespace platform
