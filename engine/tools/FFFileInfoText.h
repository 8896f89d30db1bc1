// The human-readable description of an open file: name, format, size, metadata, duration, chapters,
// programs and one line per stream. Reads the format context only; nothing in it is changed.
#pragma once

#include <cstdint>
#include <string>

struct AVFormatContext;
struct AVDictionary;
struct AVRational;

// The whole text, each line followed by "\r\n".
std::string FileInfoText(AVFormatContext* AContext);

// The pieces, exposed for their own checks.
// ", 29.97 fps", ", 25 tbr", ", 90k tbn".
std::string RateText(double AValue, const char* AUnit);
// "s.uuuuuu" of a time in a time base; empty for no time.
std::string TimeText(int64_t ATime, AVRational ATimeBase);
// The "Metadata:" block with its indent; empty without entries other than "language".
std::string MetadataBlock(const AVDictionary* AMetadata, const std::string& AIndent);
