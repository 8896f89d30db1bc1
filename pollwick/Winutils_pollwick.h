// Pollwick's own routines of the maker's utility library: URL fix-up, moving a file into place, slash
// handling, the temporary folder, a hex dump into the debug log and the marker search of the answer parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pollwick {

// A URL with a query but no path gets "/" before its first "?" ("http://host?a=1" -> "http://host/?a=1").
void FixURLParameters(std::string& url);

// Moves source to target, also across file systems. With renameOnCollision an existing target is kept and
// the file gets a free name "<stem> (2)<ext>", "(3)", ...; otherwise an existing target file is replaced.
// Nothing is ever shown to the user (silent is accepted for callers that ask for it). When movedTo is
// given it receives the path the file now has. False when the target is empty or the move failed.
bool ShellMoveFile(const std::string& source, const std::string& target, bool silent, bool renameOnCollision,
                   std::string* movedTo = nullptr);

// Removes every "/" at the end of text.
void StripTrailingSlashes(std::string& text);
// Appends "/" when text does not end with one; an empty text becomes "/".
void AddTrailingSlash(std::string& text);

// The user's temporary-files folder with a trailing "/", or the empty text when there is none.
std::string GetTempFolder();

// Writes data as a hex dump (16 bytes a row, hex then characters) into the debug log when mask shares a
// bit with DebugMask. The rows carry no time stamp.
void DebugHexDump(uint32_t mask, const void* data, size_t count);

// The text between the first startMarker and the first endMarker after it; empty when either is missing.
std::string copyStringBetween(const std::string& source, const std::string& startMarker,
                              const std::string& endMarker);

}  // namespace pollwick
