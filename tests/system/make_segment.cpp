// Creates a System V segment of a given key and size (test set-up).
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_segment KEY SIZE\n");
        return 2;
    }
    int id = shmget(static_cast<key_t>(std::strtol(argv[1], nullptr, 0)), std::strtoul(argv[2], nullptr, 0), IPC_CREAT | 0600);
    return id < 0 ? 1 : 0;
}
