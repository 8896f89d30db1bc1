// File names for FFmpeg, and the "unicode" input that opens a file by its own name for the one case
// where FFmpeg's image-sequence demuxer cannot take the name as it is.
#pragma once

#include <cstdint>
#include <string>

#include "engine/base/Myutils.h"

struct AVIOContext;
struct TURLProtocol;

// The private-data slot of a URL context: the open file's descriptor.
struct TURLContext {
    int Handle = -1;
};

// The text FFmpeg gets for a file name: the name's own bytes, except that an image-sequence name that
// is not UTF-8 goes as "unicode:utf8:" + name when FFmpeg took the protocol.
std::string ffmpeg_filename(const TPathFileName& AFileName);
// The file name of a text FFmpeg reports back.
TPathFileName native_filename(const std::string& AName);
// True when FFmpeg's image-sequence demuxer would take the name (its extension is an image type).
bool IsImageSequenceName(const std::string& AName);

// Registers the protocol with FFmpeg when FFmpeg allows it (5.1 does not). Called every time avformat
// loads. The result is the registered flag.
bool register_unicode_protocol();
bool unicode_protocol_registered();
const TURLProtocol& unicode_protocol();

// The protocol's operations.
int unicode_open(TURLContext* h, const char* AUrl, int AFlags);
int unicode_read(TURLContext* h, unsigned char* ABuffer, int ASize);
int unicode_write(TURLContext* h, const unsigned char* ABuffer, int ASize);
int64_t unicode_seek(TURLContext* h, int64_t APos, int AWhence);
int unicode_close(TURLContext* h);

// An AVIOContext on a "unicode:" URL, for a caller that hands FFmpeg its own input (flags as
// AVIO_FLAG_READ/WRITE), or null with a negative FFmpeg error in AError. Free it with unicode_avio_close,
// which also closes the file.
AVIOContext* unicode_avio_open(const std::string& AUrl, int AFlags, int& AError);
void unicode_avio_close(AVIOContext*& APb);
