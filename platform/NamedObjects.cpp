#include "platform/NamedObjects.h"

#include "platform/SpecialFolders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

namespace platform {

namespace fs = std::filesystem;

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = other.Release();
    }
    return *this;
}

int FileDescriptor::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Unmapper::operator()(std::byte* address) const {
    if (address != nullptr) {
        munmap(address, size);
    }
}

namespace {

std::error_code LastError() {
    return {errno, std::generic_category()};
}

std::optional<fs::path> UsableXdgRuntimeDir() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    if (value == nullptr || value[0] != '/') {
        return std::nullopt;
    }
    struct stat info {};
    if (stat(value, &info) != 0 || !S_ISDIR(info.st_mode)) {
        return std::nullopt;
    }
    return fs::path(value);
}

const char* KindPrefix(NamedObjectHold::Kind kind) {
    switch (kind) {
        case NamedObjectHold::Kind::Mapping:
            return "mapping.";
        case NamedObjectHold::Kind::Semaphore:
            return "semaphore.";
        case NamedObjectHold::Kind::Mutex:
            return "mutex.";
    }
    return "object.";
}

std::string StripNamespacePrefix(const std::string& name) {
    for (const char* prefix : {"Local\\", "Global\\"}) {
        std::string p(prefix);
        if (name.compare(0, p.size(), p) == 0) {
            return name.substr(p.size());
        }
    }
    return name;
}

// The file name of an object; empty when the name is empty or too long for a file name.
std::string FileNameFor(NamedObjectHold::Kind kind, const std::string& name) {
    std::string bare = StripNamespacePrefix(name);
    if (bare.empty()) {
        return {};
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string file = KindPrefix(kind);
    for (unsigned char c : bare) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '_' || c == '.';
        if (plain) {
            file += static_cast<char>(c);
        } else {
            file += '%';
            file += kHex[c >> 4];
            file += kHex[c & 0xF];
        }
    }
    constexpr std::size_t kMaxFileName = 255;
    return file.size() <= kMaxFileName ? file : std::string();
}

}  // namespace

std::optional<RuntimeFolderLock> RuntimeFolderLock::Take(const fs::path& folder, std::error_code& error) {
    FileDescriptor fd(
        open((folder / "objects.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.Valid()) {
        error = LastError();
        return std::nullopt;
    }
    constexpr auto kBound = std::chrono::seconds(5);
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = LastError();
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = std::make_error_code(std::errc::timed_out);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return RuntimeFolderLock(std::move(fd));
}

std::optional<fs::path> RuntimeFolder(std::error_code& error) {
    fs::path folder;
    if (auto xdg = UsableXdgRuntimeDir()) {
        folder = *xdg / "strevio";
    } else {
        auto temporary = TemporaryFolder();
        if (!temporary) {
            error = std::make_error_code(std::errc::permission_denied);
            return std::nullopt;
        }
        folder = *temporary / ("strevio-runtime-" + std::to_string(geteuid()));
    }
    if (!EnsurePrivateFolder(folder, error)) {
        return std::nullopt;
    }
    return folder;
}

std::optional<LockedRuntimeFolder> LockRuntimeFolder(std::error_code& error) {
    auto folder = RuntimeFolder(error);
    if (!folder) {
        return std::nullopt;
    }
    auto lock = RuntimeFolderLock::Take(*folder, error);
    if (!lock) {
        return std::nullopt;
    }
    return LockedRuntimeFolder{std::move(*folder), std::move(*lock)};
}

NamedObjectHold::NamedObjectHold(FileDescriptor fd, fs::path folder, fs::path file, bool existed)
    : fd_(std::move(fd)), folder_(std::move(folder)), file_(std::move(file)), existed_(existed) {}

NamedObjectHold& NamedObjectHold::operator=(NamedObjectHold&& other) noexcept {
    if (this != &other) {
        LetGo();
        fd_ = std::move(other.fd_);
        folder_ = std::move(other.folder_);
        file_ = std::move(other.file_);
        existed_ = other.existed_;
    }
    return *this;
}

NamedObjectHold::~NamedObjectHold() {
    LetGo();
}

void NamedObjectHold::LetGo() {
    if (!fd_.Valid()) {
        return;
    }
    std::error_code ignored;
    auto lock = RuntimeFolderLock::Take(folder_, ignored);
    // Under the folder lock nobody is between opening and locking the file, so an exclusive lock means
    // that no other holder is left. Without the folder lock the file stays; the next creator finds it
    // unheld and starts it afresh, as after a crash.
    if (lock && flock(fd_.Get(), LOCK_EX | LOCK_NB) == 0) {
        unlink(file_.c_str());
    }
    fd_ = FileDescriptor();
}

std::optional<NamedObjectHold> NamedObjectHold::Acquire(Kind kind, const std::string& name, bool mustExist,
                                                        const Initialiser& initialise,
                                                        std::error_code& error) {
    error.clear();
    std::string fileName = FileNameFor(kind, name);
    if (fileName.empty()) {
        error =
            std::make_error_code(name.empty() ? std::errc::invalid_argument : std::errc::filename_too_long);
        return std::nullopt;
    }
    auto locked = LockRuntimeFolder(error);
    if (!locked) {
        return std::nullopt;
    }
    const fs::path& folder = locked->path;
    fs::path file = folder / fileName;
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (mustExist ? 0 : O_CREAT);
    FileDescriptor fd(open(file.c_str(), flags, 0600));
    if (!fd.Valid()) {
        error = LastError();
        return std::nullopt;
    }
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
        // Nobody holds the object: what is in the file is a leftover of a crashed holder.
        if (mustExist) {
            unlink(file.c_str());
            error = std::make_error_code(std::errc::no_such_file_or_directory);
            return std::nullopt;
        }
        if (ftruncate(fd.Get(), 0) != 0 || (initialise && !initialise(fd.Get()))) {
            error = errno != 0 ? LastError() : std::make_error_code(std::errc::io_error);
            unlink(file.c_str());
            return std::nullopt;
        }
        if (flock(fd.Get(), LOCK_SH) != 0) {
            error = LastError();
            unlink(file.c_str());
            return std::nullopt;
        }
        return NamedObjectHold(std::move(fd), folder, file, false);
    }
    if (errno != EWOULDBLOCK || flock(fd.Get(), LOCK_SH | LOCK_NB) != 0) {
        error = LastError();
        return std::nullopt;
    }
    return NamedObjectHold(std::move(fd), folder, file, true);
}

namespace {

std::optional<MappedBytes> MapWhole(int fd, std::size_t minimumSize, std::error_code& error) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        error = LastError();
        return std::nullopt;
    }
    auto size = static_cast<std::size_t>(info.st_size);
    if (size < minimumSize || size == 0) {
        error = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        error = LastError();
        return std::nullopt;
    }
    return MappedBytes(static_cast<std::byte*>(address), Unmapper{size});
}

bool InitialiseMapping(int fd, std::size_t size) {
    errno = 0;
    return ftruncate(fd, static_cast<off_t>(size)) == 0;  // a grown file reads as zero bytes
}

}  // namespace

std::optional<NamedFileMapping> NamedFileMapping::Create(const std::string& name, std::size_t size,
                                                         std::error_code& error) {
    if (size == 0) {
        error = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    auto hold = NamedObjectHold::Acquire(
        NamedObjectHold::Kind::Mapping, name, false, [size](int fd) { return InitialiseMapping(fd, size); },
        error);
    if (!hold) {
        return std::nullopt;
    }
    auto bytes = MapWhole(hold->Fd(), size, error);
    if (!bytes) {
        return std::nullopt;
    }
    return NamedFileMapping(std::move(*hold), std::move(*bytes));
}

struct NamedSemaphore::Block {
    static constexpr std::uint32_t kMagic = 0x53454D31;  // "SEM1"
    std::uint32_t magic;
    std::int32_t maximum;
    sem_t semaphore;
};

std::optional<NamedSemaphore> NamedSemaphore::Create(const std::string& name, int initialCount,
                                                     int maximumCount, std::error_code& error) {
    if (maximumCount < 1 || initialCount < 0 || initialCount > maximumCount ||
        static_cast<unsigned>(maximumCount) > SEM_VALUE_MAX) {
        error = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    auto initialise = [initialCount, maximumCount](int fd) {
        errno = 0;
        if (ftruncate(fd, sizeof(Block)) != 0) {
            return false;
        }
        void* address = mmap(nullptr, sizeof(Block), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (address == MAP_FAILED) {
            return false;
        }
        MappedBytes bytes(static_cast<std::byte*>(address), Unmapper{sizeof(Block)});
        auto* block = new (address) Block{};
        block->maximum = maximumCount;
        bool ok = sem_init(&block->semaphore, 1, static_cast<unsigned>(initialCount)) == 0;
        block->magic = Block::kMagic;
        return ok;
    };
    auto hold = NamedObjectHold::Acquire(NamedObjectHold::Kind::Semaphore, name, false, initialise, error);
    if (!hold) {
        return std::nullopt;
    }
    return Attach(std::move(*hold), error);
}

std::optional<NamedSemaphore> NamedSemaphore::Open(const std::string& name, std::error_code& error) {
    auto hold = NamedObjectHold::Acquire(NamedObjectHold::Kind::Semaphore, name, true, nullptr, error);
    if (!hold) {
        return std::nullopt;
    }
    return Attach(std::move(*hold), error);
}

std::optional<NamedSemaphore> NamedSemaphore::Attach(NamedObjectHold hold, std::error_code& error) {
    auto bytes = MapWhole(hold.Fd(), sizeof(Block), error);
    if (!bytes) {
        return std::nullopt;
    }
    NamedSemaphore semaphore(std::move(hold), std::move(*bytes));
    if (semaphore.TheBlock().magic != Block::kMagic) {
        error = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    return semaphore;
}

NamedSemaphore::Block& NamedSemaphore::TheBlock() const {
    return *reinterpret_cast<Block*>(bytes_.get());
}

bool NamedSemaphore::WaitFor(unsigned timeoutMs) {
    sem_t* semaphore = &TheBlock().semaphore;
    if (timeoutMs == 0) {
        while (sem_trywait(semaphore) != 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        return true;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (sem_clockwait(semaphore, CLOCK_MONOTONIC, &deadline) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

namespace {

// An open-file-description lock on the semaphore's file, apart from the holders' flock (the two kinds
// do not meet on Linux). It makes check-and-post one step for every process; the kernel drops it with
// a process that dies inside.
class ReleaseLock {
public:
    explicit ReleaseLock(int fd) : fd_(fd) { locked_ = Set(F_WRLCK); }
    ~ReleaseLock() {
        if (locked_) {
            Set(F_UNLCK);
        }
    }
    ReleaseLock(const ReleaseLock&) = delete;
    ReleaseLock& operator=(const ReleaseLock&) = delete;
    bool Locked() const { return locked_; }

private:
    bool Set(short type) const {
        struct flock range {};
        range.l_type = type;
        range.l_whence = SEEK_SET;
        range.l_start = 0;
        range.l_len = 1;
        while (fcntl(fd_, F_OFD_SETLKW, &range) != 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        return true;
    }

    int fd_;
    bool locked_ = false;
};

}  // namespace

bool NamedSemaphore::Release(int count) {
    // Threads of one process may share one object and with it the file lock, which does not keep them apart.
    static std::mutex threadsLock;
    std::lock_guard threads(threadsLock);
    Block& block = TheBlock();
    ReleaseLock lock(hold_.Fd());
    int value = 0;
    if (count < 1 || !lock.Locked() || sem_getvalue(&block.semaphore, &value) != 0 ||
        value > block.maximum - count) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (sem_post(&block.semaphore) != 0) {
            return false;
        }
    }
    return true;
}

int NamedSemaphore::Count() const {
    int value = 0;
    sem_getvalue(&TheBlock().semaphore, &value);
    return value;
}

std::optional<NamedMutex> NamedMutex::Create(const std::string& name, std::error_code& error) {
    auto hold = NamedObjectHold::Acquire(NamedObjectHold::Kind::Mutex, name, false, nullptr, error);
    if (!hold) {
        return std::nullopt;
    }
    return NamedMutex(std::move(*hold));
}

}  // namespace platform
