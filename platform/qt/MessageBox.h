// Message boxes behind a replaceable hook: by default a modal QMessageBox in plain text; tests put their
// own hook in place to see captions and texts.
#pragma once

#include <functional>
#include <string>

namespace platform {

enum class TMessageKind { Information, Warning, Error, Question };
enum class TMessageButtons { Ok, OkCancel, YesNo, YesNoCancel };
// None: no box could be shown (no GUI application) or it was closed without a choice.
enum class TMessageResult { None, Ok, Cancel, Yes, No };

struct MessageBoxRequest {
    TMessageKind kind = TMessageKind::Information;
    std::string caption;  // UTF-8
    std::string text;     // UTF-8, shown as plain text
    TMessageButtons buttons = TMessageButtons::Ok;
};

using MessageBoxHook = std::function<TMessageResult(const MessageBoxRequest&)>;

// Shows the box modal to the whole application, on the main thread (a call from another thread waits
// there through Synchronize), and returns the chosen button.
TMessageResult ShowMessageBox(TMessageKind kind, const std::string& caption, const std::string& text,
                              TMessageButtons buttons = TMessageButtons::Ok);

// Replaces the hook; an empty hook brings back the default box. Returns the previous hook (empty when it
// was the default).
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// Puts a hook in place for one scope and restores the previous one after.
class ScopedMessageBoxHook {
public:
    explicit ScopedMessageBoxHook(MessageBoxHook hook);
    ~ScopedMessageBoxHook();
    ScopedMessageBoxHook(const ScopedMessageBoxHook&) = delete;
    ScopedMessageBoxHook& operator=(const ScopedMessageBoxHook&) = delete;

private:
    MessageBoxHook previous_;
};

}  // namespace platform
