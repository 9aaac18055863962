// SPDX-License-Identifier: GPL-3.0-or-later
// The libc calls libraw1394 makes on the FireWire device files (see `objdump -T` of the library):
// open, close, read, ioctl, mmap/munmap, opendir/readdir/closedir on /dev, inotify_init and
// inotify_add_watch. Each of ours passes everything that is not the emulated bus straight on.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>

#include "tests/fwemu/fwemu.h"

namespace fwemu {
namespace {

constexpr int kMaxFd = 65536;
std::atomic<bool> g_ours[kMaxFd];

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool Ours(int fd) {
    return fd >= 0 && fd < kMaxFd && g_ours[fd].load(std::memory_order_relaxed);
}

int Track(int fd) {
    if (fd >= 0 && fd < kMaxFd) g_ours[fd] = true;
    return fd;
}

// A listing of /dev that holds only the emulated nodes.
struct FakeDir {
    std::vector<std::string> names;
    size_t next = 0;
    dirent entry{};
    dirent64 entry64{};
};
std::set<void*>& FakeDirs() {
    static auto* dirs = new std::set<void*>;
    return *dirs;
}

bool IsDevDir(const char* path) {
    return path != nullptr && (std::strcmp(path, "/dev") == 0 || std::strcmp(path, "/dev/") == 0);
}

int OpenEmulated(const char* path, int flags, int mode, bool& handled) {
    int device = -1;
    handled = IsEmulatedDevicePath(path, device);
    if (!handled) return RealOpen(path, flags, mode);
    return Track(OpenNode(device));
}

}  // namespace

int RealOpen(const char* path, int flags, int mode) {
    static auto real = Next<int (*)(const char*, int, ...)>("open");
    return real(path, flags, mode);
}
int RealClose(int fd) {
    static auto real = Next<int (*)(int)>("close");
    return real(fd);
}
ssize_t RealRead(int fd, void* buf, size_t n) {
    static auto real = Next<ssize_t (*)(int, void*, size_t)>("read");
    return real(fd, buf, n);
}
ssize_t RealWrite(int fd, const void* buf, size_t n) {
    static auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
    return real(fd, buf, n);
}

}  // namespace fwemu

using namespace fwemu;

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    int mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, int);
        va_end(ap);
    }
    bool handled = false;
    return OpenEmulated(path, flags, mode, handled);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    int mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, int);
        va_end(ap);
    }
    bool handled = false;
    return OpenEmulated(path, flags, mode, handled);
}

__attribute__((visibility("default"))) int __open_2(const char* path, int flags) {
    bool handled = false;
    return OpenEmulated(path, flags, 0, handled);
}

__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) {
    bool handled = false;
    return OpenEmulated(path, flags, 0, handled);
}

__attribute__((visibility("default"))) int openat(int dirfd, const char* path, int flags, ...) {
    int mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, int);
        va_end(ap);
    }
    int device = -1;
    if (path[0] == '/' && IsEmulatedDevicePath(path, device)) {
        return Track(OpenNode(device));
    }
    static auto real = Next<int (*)(int, const char*, int, ...)>("openat");
    return real(dirfd, path, flags, mode);
}

// The kernel's sysfs attributes of the emulated nodes (is_local, guid, names, units).
FILE* SysfsFile(const char* path, bool& handled) {
    std::string text;
    handled = SysfsAttribute(path, text);
    if (!handled) return nullptr;
    FILE* f = fmemopen(nullptr, text.size() + 1, "w+");
    if (f == nullptr) return nullptr;
    std::fputs(text.c_str(), f);
    std::rewind(f);
    return f;
}

__attribute__((visibility("default"))) FILE* fopen(const char* path, const char* mode) {
    bool handled = false;
    if (FILE* f = SysfsFile(path, handled); handled) return f;
    static auto real = Next<FILE* (*)(const char*, const char*)>("fopen");
    return real(path, mode);
}

__attribute__((visibility("default"))) FILE* fopen64(const char* path, const char* mode) {
    bool handled = false;
    if (FILE* f = SysfsFile(path, handled); handled) return f;
    static auto real = Next<FILE* (*)(const char*, const char*)>("fopen64");
    return real(path, mode);
}

__attribute__((visibility("default"))) int close(int fd) {
    if (Ours(fd)) {
        g_ours[fd] = false;
        std::lock_guard lock(Lock());
        CloseClient(fd);
        return 0;
    }
    return RealClose(fd);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void* buf, size_t n) {
    if (Ours(fd)) return ReadEvent(fd, buf, n);
    return RealRead(fd, buf, n);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (Ours(fd)) {
        std::unique_lock lock(Lock());
        Client* c = FindClient(fd);
        if (c == nullptr) {
            errno = EBADF;
            return -1;
        }
        return Ioctl(*c, request, arg);
    }
    static auto real = Next<int (*)(int, unsigned long, ...)>("ioctl");
    return real(fd, request, arg);
}

__attribute__((visibility("default"))) void* mmap(void* addr, size_t length, int prot, int flags,
                                                  int fd, off_t offset) {
    if (Ours(fd)) {
        std::lock_guard lock(Lock());
        Client* c = FindClient(fd);
        if (c == nullptr) {
            errno = EBADF;
            return MAP_FAILED;
        }
        return MapIso(*c, length);
    }
    static auto real = Next<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
    return real(addr, length, prot, flags, fd, offset);
}

__attribute__((visibility("default"))) void* mmap64(void* addr, size_t length, int prot, int flags,
                                                    int fd, off_t offset) {
    return mmap(addr, length, prot, flags, fd, offset);
}

__attribute__((visibility("default"))) int munmap(void* addr, size_t length) {
    {
        std::lock_guard lock(Lock());
        ForgetMapping(addr);
    }
    static auto real = Next<int (*)(void*, size_t)>("munmap");
    return real(addr, length);
}

__attribute__((visibility("default"))) DIR* opendir(const char* path) {
    if (IsDevDir(path)) {
        auto* dir = new FakeDir;
        dir->names = DeviceNames();
        std::lock_guard lock(Lock());
        FakeDirs().insert(dir);
        return reinterpret_cast<DIR*>(dir);
    }
    static auto real = Next<DIR* (*)(const char*)>("opendir");
    return real(path);
}

// std::filesystem lists a folder through openat and fdopendir: the descriptor tells which one.
__attribute__((visibility("default"))) DIR* fdopendir(int fd) {
    char link[64] = {};
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(self, link, sizeof link - 1);
    if (n > 0 && IsDevDir(link)) {
        RealClose(fd);
        return opendir("/dev");
    }
    static auto real = Next<DIR* (*)(int)>("fdopendir");
    return real(fd);
}

__attribute__((visibility("default"))) dirent* readdir(DIR* d) {
    {
        std::lock_guard lock(Lock());
        if (FakeDirs().count(d) != 0) {
            auto* dir = reinterpret_cast<FakeDir*>(d);
            if (dir->next >= dir->names.size()) return nullptr;
            const std::string& name = dir->names[dir->next++];
            dir->entry = dirent{};
            dir->entry.d_type = DT_CHR;
            dir->entry.d_ino = 1000 + dir->next;
            std::snprintf(dir->entry.d_name, sizeof dir->entry.d_name, "%s", name.c_str());
            return &dir->entry;
        }
    }
    static auto real = Next<dirent* (*)(DIR*)>("readdir");
    return real(d);
}

__attribute__((visibility("default"))) dirent64* readdir64(DIR* d) {
    {
        std::lock_guard lock(Lock());
        if (FakeDirs().count(d) != 0) {
            auto* dir = reinterpret_cast<FakeDir*>(d);
            if (dir->next >= dir->names.size()) return nullptr;
            const std::string& name = dir->names[dir->next++];
            dir->entry64 = dirent64{};
            dir->entry64.d_type = DT_CHR;
            dir->entry64.d_ino = 1000 + dir->next;
            std::snprintf(dir->entry64.d_name, sizeof dir->entry64.d_name, "%s", name.c_str());
            return &dir->entry64;
        }
    }
    static auto real = Next<dirent64* (*)(DIR*)>("readdir64");
    return real(d);
}

__attribute__((visibility("default"))) int dirfd(DIR* d) {
    {
        std::lock_guard lock(Lock());
        if (FakeDirs().count(d) != 0) {
            errno = ENOTSUP;
            return -1;
        }
    }
    static auto real = Next<int (*)(DIR*)>("dirfd");
    return real(d);
}

__attribute__((visibility("default"))) int closedir(DIR* d) {
    {
        std::lock_guard lock(Lock());
        if (FakeDirs().erase(d) != 0) {
            delete reinterpret_cast<FakeDir*>(d);
            return 0;
        }
    }
    static auto real = Next<int (*)(DIR*)>("closedir");
    return real(d);
}

__attribute__((visibility("default"))) int inotify_init(void) {
    return Track(OpenInotify());
}

__attribute__((visibility("default"))) int inotify_add_watch(int fd, const char* path,
                                                             uint32_t mask) {
    if (Ours(fd)) {
        if (!IsDevDir(path) || (mask & IN_CREATE) == 0) {
            errno = EINVAL;
            return -1;
        }
        return 1;
    }
    static auto real = Next<int (*)(int, const char*, uint32_t)>("inotify_add_watch");
    return real(fd, path, mask);
}

}  // extern "C"
