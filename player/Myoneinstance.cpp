#include "player/Myoneinstance.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <exception>
#include <system_error>

#include "platform/MessageEndpoint.h"
#include "platform/qt/QtMessageEndpoint.h"
#include "player/IgnoredFailure.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_foreground.h"

namespace player {

namespace {

using winutils::DEBUG_GENERAL;
using winutils::DebugLog;

constexpr std::size_t kCountOffset = 4;
constexpr std::size_t kSlotsOffset = 8;

uint32_t ReadLittleEndian32(std::span<const std::byte> block, std::size_t offset) {
    uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(block[offset + i]) << (8 * i);
    }
    return value;
}

void WriteLittleEndian32(std::span<std::byte> block, std::size_t offset, uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        block[offset + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    }
}

// At most `limit` bytes of UTF-8 text, never ending inside a character.
QByteArray CutUtf8(QByteArray text, qsizetype limit) {
    if (text.size() <= limit) {
        return text;
    }
    qsizetype length = limit;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
        --length;
    }
    text.truncate(length);
    return text;
}

}  // namespace

uint32_t ReadFirstWindow(std::span<const std::byte> block) {
    return ReadLittleEndian32(block, 0);
}

void WriteFirstWindow(std::span<std::byte> block, uint32_t window) {
    WriteLittleEndian32(block, 0, window);
}

void WriteSharedArguments(std::span<std::byte> block, const QStringList& arguments) {
    const int count = static_cast<int>(std::min<qsizetype>(arguments.size(), kSharedArgumentSlots));
    WriteLittleEndian32(block, kCountOffset, static_cast<uint32_t>(count));
    for (int i = 0; i < count; ++i) {
        const QByteArray text = CutUtf8(arguments[i].toUtf8(), kSharedSlotSize - 1);
        std::span<std::byte> slot = block.subspan(kSlotsOffset + i * kSharedSlotSize, kSharedSlotSize);
        std::fill(slot.begin(), slot.end(), std::byte{0});
        std::memcpy(slot.data(), text.constData(), static_cast<std::size_t>(text.size()));
    }
}

QStringList ReadSharedArguments(std::span<const std::byte> block) {
    const auto stored = static_cast<int32_t>(ReadLittleEndian32(block, kCountOffset));
    const int count = std::clamp(stored, 0, kSharedArgumentSlots);
    QStringList list;
    for (int i = 0; i < count; ++i) {
        const auto* slot = reinterpret_cast<const char*>(block.data() + kSlotsOffset + i * kSharedSlotSize);
        list << QString::fromUtf8(slot, static_cast<qsizetype>(::strnlen(slot, kSharedSlotSize - 1)));
    }
    return list;
}

MyOneInstance::MyOneInstance(QStringList args, QWidget* mainWindow)
    : arguments(std::move(args)), main_window(mainWindow) {
    Init();
}

MyOneInstance::~MyOneInstance() = default;

void MyOneInstance::Init() {
    std::error_code error;
    mapping = platform::NamedFileMapping::Create(kSharedBlockName, kSharedBlockSize, error);
    if (!mapping) {
        DebugLog(DEBUG_GENERAL, "MyOneInstance::Init: cannot create the shared block: %s",
                 error.message().c_str());
        return;
    }
    if (mapping->AlreadyExisted()) {
        SendToFirstInstance();
    } else {
        BecomeFirstInstance();
    }
}

void MyOneInstance::BecomeFirstInstance() {
    std::error_code error;
    message_window = platform::QtMessageEndpoint::Create(kOneInstanceWindowClass, error);
    if (!message_window) {
        DebugLog(DEBUG_GENERAL, "MyOneInstance::BecomeFirstInstance: no message window: %s",
                 error.message().c_str());
        return;
    }
    QObject::connect(message_window.get(), &platform::QtMessageEndpoint::messageReceived,
                     message_window.get(),
                     [this](quint32 message, quint64, qint64) { MessageWindowProc(message); });
    if (semaphore) {
        semaphore->Release(1);
        CloseSemaphore();
    }
    semaphore = platform::NamedSemaphore::Create(kSharedSemaphoreName, 0, 1, error);
    WriteFirstWindow(mapping->Bytes(), message_window->Handle());
    if (semaphore) {
        semaphore->Release(1);
    } else {
        DebugLog(DEBUG_GENERAL, "MyOneInstance::BecomeFirstInstance: no semaphore: %s",
                 error.message().c_str());
    }
}

void MyOneInstance::SendToFirstInstance() {
    if (!AcquireSemaphore()) {
        BecomeFirstInstance();
        return;
    }
    try {
        WriteSharedArguments(mapping->Bytes(), arguments);
        // A window that is gone cannot answer: waiting for it would only delay taking its place.
        if (!platform::PostMessageTo(ReadFirstWindow(mapping->Bytes()), WM_INSTANCE_STARTED, 0, 0)) {
            DebugLog(DEBUG_GENERAL, "MyOneInstance::SendToFirstInstance: the first instance is gone");
            BecomeFirstInstance();
            return;
        }
        if (!AcquireSemaphore()) {
            BecomeFirstInstance();
            return;
        }
        ReleaseSemaphoreSlot();
        CloseSemaphore();
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "MyOneInstance::SendToFirstInstance: EXCEPTION %s", e.what());
    }
    terminate_requested = true;
}

bool MyOneInstance::AcquireSemaphore() {
    if (!semaphore) {
        std::error_code error;
        semaphore = platform::NamedSemaphore::Open(kSharedSemaphoreName, error);
        if (!semaphore) {
            return false;
        }
    }
    return semaphore->WaitFor(kHandOverWaitMs);
}

void MyOneInstance::ReleaseSemaphoreSlot() {
    if (semaphore) {
        semaphore->Release(1);
    }
}

void MyOneInstance::CloseSemaphore() {
    semaphore.reset();
}

void MyOneInstance::MessageWindowProc(unsigned message) {
    if (message != WM_INSTANCE_STARTED || !mapping) {
        return;
    }
    try {
        NotifyInstanceStarted(ReadSharedArguments(mapping->Bytes()));
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "MyOneInstance::MessageWindowProc: EXCEPTION %s", e.what());
    }
    // Released also after a failed handler, so the later start does not wait out its bound.
    ReleaseSemaphoreSlot();
}

void MyOneInstance::NotifyInstanceStarted(const QStringList& list) {
    RunIgnoringFailure("MyOneInstance::NotifyInstanceStarted", [&] {
        if (main_window) {
            winutils::ForceForegroundWindow(main_window);
        }
    });
    if (OnInstanceStarted) {
        OnInstanceStarted(list);
    }
}

}  // namespace player
