// zeb's entry: parse the command line, then open the chooser at once (prompt switched off for the
// extension), open the extension's web page ("/showinfo"), or ask the user.
#pragma once

namespace zeb {

// Returns the process exit code: 1 when no target file was given, else 0. Nothing is ever reported to
// the user; what cannot be done is left undone.
int ZebMain(int argc, char** argv);

}  // namespace zeb
