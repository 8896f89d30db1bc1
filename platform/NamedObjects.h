// Named kernel objects of the user's log-on namespace: file mappings, semaphores and mutexes that
// processes find by name.
//
// Each object is a file in the runtime folder. Lifetime is the Windows one: an object exists while some
// live process holds it and vanishes with the last holder, also when that holder crashed. Every holder
// keeps a shared flock on the file; the kernel drops it when the process dies. A creator that can take an
// exclusive flock knows that nobody holds the object, so the object is new and its file is (re)initialised,
// whatever a crashed holder left there. Creating, opening and the last holder's removal of the file run
// under one lock file of the folder, so two processes that create the same name at once agree on which
// of them made it.
//
// Names: "Local\" and "Global\" prefixes are dropped (both mean the user's namespace here). Every byte
// other than a letter, a digit, '-', '_' or '.' is written as %XX in the file name, so no name can leave
// the folder. Each kind has its own file name prefix.
//
// A forked child must not destroy objects that it inherited from its parent (it shares their locks);
// it ends with _exit or execs. Descriptors are opened close-on-exec, so started programs hold nothing.
#pragma once

#include <semaphore.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>

namespace platform {

// Owns one file descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();

private:
    int fd_ = -1;
};

// The user's private folder for named objects and message endpoints: "strevio" in $XDG_RUNTIME_DIR, or,
// without a usable $XDG_RUNTIME_DIR, a private folder under the temporary folder. Made on first use with
// mode 0700; refused when it is not a real folder owned by the user and closed to others.
std::optional<std::filesystem::path> RuntimeFolder(std::error_code& error);

// Exclusive hold of the runtime folder's lock file, under which objects and endpoints are made, opened
// and removed. Holders keep it only for a few system calls, so taking it waits at most 5 s; a holder
// stopped in the middle (SIGSTOP) makes the caller fail instead of hang.
class RuntimeFolderLock {
public:
    static std::optional<RuntimeFolderLock> Take(const std::filesystem::path& folder, std::error_code& error);

private:
    explicit RuntimeFolderLock(FileDescriptor fd) : fd_(std::move(fd)) {}
    FileDescriptor fd_;  // closing it drops the lock
};

// The runtime folder with its lock held: where every making, opening and removing of objects and endpoints
// begins. Dropping it lets the lock go.
struct LockedRuntimeFolder {
    std::filesystem::path path;
    RuntimeFolderLock lock;
};
std::optional<LockedRuntimeFolder> LockRuntimeFolder(std::error_code& error);

// One holder's share of a named object's file. Moving keeps the hold; destruction lets go and removes the
// file when this was the last holder.
class NamedObjectHold {
public:
    enum class Kind { Mapping, Semaphore, Mutex };

    // Called under the folder's lock when the object is new, with its file emptied; false when the
    // object could not be set up (the object is then not made).
    using Initialiser = std::function<bool(int fd)>;

    // Creates the object, or holds the existing one of that name. With mustExist, a missing object is
    // not made: error is no_such_file_or_directory.
    static std::optional<NamedObjectHold> Acquire(Kind kind, const std::string& name, bool mustExist,
                                                  const Initialiser& initialise, std::error_code& error);

    NamedObjectHold(NamedObjectHold&&) noexcept = default;
    NamedObjectHold& operator=(NamedObjectHold&&) noexcept;
    NamedObjectHold(const NamedObjectHold&) = delete;
    NamedObjectHold& operator=(const NamedObjectHold&) = delete;
    ~NamedObjectHold();

    int Fd() const { return fd_.Get(); }
    bool AlreadyExisted() const { return existed_; }

private:
    NamedObjectHold(FileDescriptor fd, std::filesystem::path folder, std::filesystem::path file,
                    bool existed);
    void LetGo();

    FileDescriptor fd_;
    std::filesystem::path folder_;
    std::filesystem::path file_;
    bool existed_ = false;
};

// A shared memory region unmapped on destruction.
struct Unmapper {
    std::size_t size = 0;
    void operator()(std::byte* address) const;
};
using MappedBytes = std::unique_ptr<std::byte, Unmapper>;

// A named file mapping of a fixed size, mapped read/write for the object's life. A new mapping is
// filled with zero bytes.
class NamedFileMapping {
public:
    // Creates the mapping or opens the existing one. An existing mapping smaller than `size` is refused
    // (a view of `size` bytes could not be made); a larger one is mapped whole.
    static std::optional<NamedFileMapping> Create(const std::string& name, std::size_t size,
                                                  std::error_code& error);

    bool AlreadyExisted() const { return hold_.AlreadyExisted(); }
    std::span<std::byte> Bytes() const { return {bytes_.get(), bytes_.get_deleter().size}; }

private:
    NamedFileMapping(NamedObjectHold hold, MappedBytes bytes)
        : hold_(std::move(hold)), bytes_(std::move(bytes)) {}

    NamedObjectHold hold_;  // declared first: the view is unmapped before the hold lets go
    MappedBytes bytes_;
};

// A named counting semaphore: a process-shared sem_t inside its own mapped file.
class NamedSemaphore {
public:
    // Creates the semaphore with an initial count (0..maximum) and a maximum count (at least 1), or
    // opens the existing one, whose counts stay as they are.
    static std::optional<NamedSemaphore> Create(const std::string& name, int initialCount, int maximumCount,
                                                std::error_code& error);
    // Opens an existing semaphore; fails with no_such_file_or_directory when no live process holds one.
    static std::optional<NamedSemaphore> Open(const std::string& name, std::error_code& error);

    bool AlreadyExisted() const { return hold_.AlreadyExisted(); }

    // Takes one count, waiting up to timeoutMs for it. True when a count was taken.
    bool WaitFor(unsigned timeoutMs);
    // Adds `count`; false (and nothing added) when the count would pass the maximum. Releases of all
    // processes are serialised, so the maximum holds even when two release at once.
    bool Release(int count = 1);
    // The current count.
    int Count() const;

private:
    struct Block;
    NamedSemaphore(NamedObjectHold hold, MappedBytes bytes)
        : hold_(std::move(hold)), bytes_(std::move(bytes)) {}
    static std::optional<NamedSemaphore> Attach(NamedObjectHold hold, std::error_code& error);
    Block& TheBlock() const;

    NamedObjectHold hold_;
    MappedBytes bytes_;
};

// A named mutex used to mark that a program runs: the object holds the name for its whole life, and
// tells whether some other live holder had it already.
class NamedMutex {
public:
    static std::optional<NamedMutex> Create(const std::string& name, std::error_code& error);

    bool AlreadyExisted() const { return hold_.AlreadyExisted(); }

private:
    explicit NamedMutex(NamedObjectHold hold) : hold_(std::move(hold)) {}

    NamedObjectHold hold_;
};

}  // namespace platform
