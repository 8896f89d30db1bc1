// Starting other programs: opening a URL or file with the desktop's opener, starting a program, and
// running one while the caller's main thread keeps serving its dispatcher.
//
// Programs are started with an argument vector, never through a shell, so every argument arrives as one
// argument, byte for byte. An argument that holds a NUL byte cannot be passed and makes the start fail.
// A program name without '/' is looked up on PATH, as the exec functions do.
//
// Reaping: ShellOpen and StartProgram do not wait, yet leave no zombie and no thread behind. They fork a
// short-lived middle process that starts the program and ends at once; the caller waits for the middle
// process only, and the program, now an orphan, is reaped by the system. Only async-signal-safe calls run
// between fork and exec (the program's path and arguments are prepared beforehand), so this is sound in a
// process with threads. An exec failure reaches the caller through a close-on-exec pipe.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// Opens target (a URL or a path) with "xdg-open" found on PATH, as its only argument. Does not wait.
// True when the opener was started.
bool ShellOpen(const std::string& target);

// Starts argv[0] with the arguments argv[1..]. Does not wait. True when the program was started.
bool StartProgram(const std::vector<std::string>& argv);

struct RunOptions {
    // The program's working folder; empty keeps this process's.
    std::filesystem::path workingFolder;
    // Asked between polls; true gives up waiting (for an application that is ending). The program keeps
    // running and is then reaped by the system once this process has ended.
    std::function<bool()> stopWaiting;
};

// Starts argv[0] with posix_spawnp and waits for it to end with waitpid, running ProcessMessages() (of
// the dispatcher) every few milliseconds meanwhile. True when the program was started. exitCode is its
// exit code, 128 + the signal number when a signal ended it, or -1 when waiting was given up.
bool RunAndWait(const std::vector<std::string>& argv, int& exitCode, const RunOptions& options = {});

}  // namespace platform
