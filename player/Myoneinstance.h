// Only one player runs per user: a later start hands its command-line arguments to the first one through
// a named shared block and a message to the first instance's hidden window, and then ends unseen.
#pragma once

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "platform/NamedObjects.h"

namespace platform {
class QtMessageEndpoint;
}

namespace player {

inline constexpr const char* kSharedBlockName = "Strevio2012-SHARED";
inline constexpr const char* kSharedSemaphoreName = "Local\\Strevio2012-SEM";
inline constexpr const char* kOneInstanceWindowClass = "Strevio2012-ONEINSTANCE";
inline constexpr std::size_t kSharedBlockSize = 3008;
inline constexpr int kSharedArgumentSlots = 10;
inline constexpr std::size_t kSharedSlotSize = 300;
inline constexpr unsigned WM_INSTANCE_STARTED = 1324;  // arguments wait in the shared block
inline constexpr unsigned kHandOverWaitMs = 10000;

// The shared block: the first instance's window (32-bit, little-endian) at 0, the number of argument
// slots used at 4, then ten slots of 300 bytes with NUL-terminated UTF-8 text.
uint32_t ReadFirstWindow(std::span<const std::byte> block);
void WriteFirstWindow(std::span<std::byte> block, uint32_t window);
// Writes the first ten arguments, each cut to 299 bytes at a character boundary.
void WriteSharedArguments(std::span<std::byte> block, const QStringList& arguments);
// The arguments in the block; a count outside 0..10 is held to it and a slot without its NUL ends at
// 299 bytes, so a damaged block cannot make the reader run past it.
QStringList ReadSharedArguments(std::span<const std::byte> block);

class MyOneInstance {
public:
    // Settles whether this process is the first instance; a later instance hands `arguments` over here.
    // mainWindow is the window that a hand-over restores and raises (may be null).
    explicit MyOneInstance(QStringList arguments, QWidget* mainWindow = nullptr);
    ~MyOneInstance();
    MyOneInstance(const MyOneInstance&) = delete;
    MyOneInstance& operator=(const MyOneInstance&) = delete;

    // True when this process owns the hidden window that later starts talk to.
    bool IsFirstInstance() const { return message_window != nullptr; }
    // True when this was a later start that handed its arguments over (or tried to): the program must
    // end without showing its window.
    bool TerminateRequested() const { return terminate_requested; }

    // Called on the GUI thread with the arguments of a later start.
    std::function<void(const QStringList&)> OnInstanceStarted;

private:
    void Init();
    void BecomeFirstInstance();
    void SendToFirstInstance();
    bool AcquireSemaphore();
    void ReleaseSemaphoreSlot();
    void CloseSemaphore();
    void MessageWindowProc(unsigned message);
    void NotifyInstanceStarted(const QStringList& list);

    QStringList arguments;
    QPointer<QWidget> main_window;
    std::optional<platform::NamedFileMapping> mapping;
    std::unique_ptr<platform::QtMessageEndpoint> message_window;
    std::optional<platform::NamedSemaphore> semaphore;
    bool terminate_requested = false;
};

}  // namespace player
