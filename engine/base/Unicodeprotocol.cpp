#include "engine/base/Unicodeprotocol.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "engine/base/FFLog.h"
#include "engine/base/FFUtils.h"
#include "engine/load/FFAPI.h"

namespace {

constexpr char kPrefix[] = "unicode:utf8:";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr int kIOBufferSize = 32768;

std::atomic<bool> gRegistered{false};

const char* const kImageExtensions[] = {
    "jpeg", "jpg",    "jps", "ljpg", "jls",      "png",      "pns",      "mng",      "ppm", "pnm",
    "pgm",  "pgmyuv", "pbm", "pam",  "mpg1-img", "mpg2-img", "mpg4-img", "ffv1-img", "y",   "raw",
    "bmp",  "gif",    "tga", "tiff", "tif",      "sgi",      "ptx",      "pcx",      "pix", "sun",
    "ras",  "rs",     "im1", "im8",  "im24",     "im32",     "sunras",   "j2c",      "j2k", "jp2",
    "jpc",  "dpx",    "exr", "pic",  "yuv10",    "xbm",      "xface",    "xwd"};

int CaseCompare(const char* a, const char* b) {
    return ff::av_strcasecmp ? ff::av_strcasecmp(a, b) : strcasecmp(a, b);
}

// Whether the bytes are well-formed UTF-8: only then does the system code page (UTF-8) hold the name.
bool IsValidUtf8(const std::string& AText) {
    size_t i = 0;
    while (i < AText.size()) {
        const auto c = static_cast<unsigned char>(AText[i]);
        size_t extra = 0;
        uint32_t min = 0;
        uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= AText.size()) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(AText[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (cc & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// Whether the name has to go through the protocol: it is not one of the listed URL schemes and the
// code page cannot hold it.
bool NeedsProtocol(const std::string& AName) {
    const size_t colon = AName.find(':');
    if (colon != std::string::npos) {
        const std::string scheme = ":" + AName.substr(0, colon) + ":";
        if (std::string(":unicode:stream:gopher:http:pipe:rtp:tcp:udp:").find(scheme) != std::string::npos) {
            return false;
        }
    }
    return !IsValidUtf8(AName);
}

// The name after "scheme:" and "encoding:".
std::string StripTwoFields(const std::string& AUrl) {
    size_t start = AUrl.find(':');
    start = start == std::string::npos ? 0 : start + 1;
    const size_t next = AUrl.find(':', start);
    return next == std::string::npos ? AUrl.substr(start) : AUrl.substr(next + 1);
}

const TURLProtocol kUnicodeProtocol = {"unicode",     unicode_open, unicode_read,
                                       unicode_write, unicode_seek, unicode_close};

// The opaque state of a custom AVIOContext: the file it reads and the buffer FFmpeg fills.
struct TUnicodeIO {
    TURLContext Context;
};

int IORead(void* AOpaque, uint8_t* ABuffer, int ASize) {
    const int count = unicode_read(&static_cast<TUnicodeIO*>(AOpaque)->Context, ABuffer, ASize);
    if (count == 0) {
        return AVERROR_EOF;
    }
    return count < 0 ? AVERROR(EIO) : count;
}

// FFmpeg 5.1 hands the buffer as non-const.
int IOWrite(void* AOpaque, uint8_t* ABuffer, int ASize) {
    const int count = unicode_write(&static_cast<TUnicodeIO*>(AOpaque)->Context, ABuffer, ASize);
    return count < 0 ? AVERROR(EIO) : count;
}

int64_t IOSeek(void* AOpaque, int64_t AOffset, int AWhence) {
    const int64_t pos =
        unicode_seek(&static_cast<TUnicodeIO*>(AOpaque)->Context, AOffset, AWhence & ~AVSEEK_FORCE);
    return pos < 0 ? AVERROR(EIO) : pos;
}

}  // namespace

bool IsImageSequenceName(const std::string& AName) {
    if (ff::ff_guess_image2_codec) {
        return ff::ff_guess_image2_codec(AName.c_str()) != AV_CODEC_ID_NONE;
    }
    const size_t dot = AName.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    const std::string extension = AName.substr(dot + 1);
    for (const char* known : kImageExtensions) {
        if (CaseCompare(extension.c_str(), known) == 0) {
            return true;
        }
    }
    return false;
}

// On Linux a file name is bytes, and FFmpeg (its image-sequence reader included) opens the bytes it is
// given: the code-page form of a name is the name itself, so nothing is lost on the way.
std::string ffmpeg_filename(const TPathFileName& AFileName) {
    if (IsImageSequenceName(AFileName) && gRegistered && NeedsProtocol(AFileName)) {
        return kPrefix + AFileName;
    }
    return AFileName;
}

TPathFileName native_filename(const std::string& AName) {
    if (IsImageSequenceName(AName) && gRegistered && AName.size() >= 14 &&
        AName.compare(0, kPrefixLength, kPrefix) == 0) {
        return StripTwoFields(AName);
    }
    return AName;
}

bool register_unicode_protocol() {
    TURLProtocol protocol = kUnicodeProtocol;
    static TURLProtocol registered;  // FFmpeg keeps the record it is given
    registered = protocol;
    // FFmpeg 5.1 has no entry point for it: names then reach FFmpeg as they are, which opens them.
    const bool result = RegisterProtocol(&registered);
    if (!result) {
        FFLogger().Log(nullptr, llDebug, "unicode protocol: URL protocol registration not available");
    }
    gRegistered = result;
    return result;
}

bool unicode_protocol_registered() {
    return gRegistered;
}

const TURLProtocol& unicode_protocol() {
    return kUnicodeProtocol;
}

int unicode_open(TURLContext* h, const char* AUrl, int AFlags) {
    const std::string name = StripTwoFields(AUrl ? AUrl : "");
    int mode = O_RDONLY;
    if ((AFlags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE) {
        mode = O_RDWR | O_CREAT | O_TRUNC;
    } else if (AFlags & AVIO_FLAG_WRITE) {
        mode = O_WRONLY | O_CREAT | O_TRUNC;
    }
    const int fd = ::open(name.c_str(), mode | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -2;
    }
    h->Handle = fd;
    return 0;
}

int unicode_read(TURLContext* h, unsigned char* ABuffer, int ASize) {
    ssize_t count;
    do {
        count = ::read(h->Handle, ABuffer, static_cast<size_t>(ASize));
    } while (count < 0 && errno == EINTR);
    return count < 0 ? -1 : static_cast<int>(count);
}

int unicode_write(TURLContext* h, const unsigned char* ABuffer, int ASize) {
    ssize_t count;
    do {
        count = ::write(h->Handle, ABuffer, static_cast<size_t>(ASize));
    } while (count < 0 && errno == EINTR);
    return count < 0 ? -1 : static_cast<int>(count);
}

int64_t unicode_seek(TURLContext* h, int64_t APos, int AWhence) {
    if (AWhence == AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(h->Handle, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }
    const off_t pos = ::lseek(h->Handle, static_cast<off_t>(APos), AWhence);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int unicode_close(TURLContext* h) {
    const int result = h->Handle >= 0 ? ::close(h->Handle) : -1;
    h->Handle = -1;
    return result == 0 ? 1 : 0;
}

AVIOContext* unicode_avio_open(const std::string& AUrl, int AFlags, int& AError) {
    auto io = std::make_unique<TUnicodeIO>();
    if (unicode_open(&io->Context, AUrl.c_str(), AFlags) != 0) {
        AError = AVERROR(ENOENT);
        return nullptr;
    }
    auto* buffer = static_cast<unsigned char*>(ff::av_malloc(kIOBufferSize));
    const bool writable = (AFlags & AVIO_FLAG_WRITE) != 0;
    AVIOContext* pb = buffer ? ff::avio_alloc_context(buffer, kIOBufferSize, writable ? 1 : 0, io.get(),
                                                      IORead, writable ? IOWrite : nullptr, IOSeek)
                             : nullptr;
    if (!pb) {
        ff::av_free(buffer);
        unicode_close(&io->Context);
        AError = AVERROR(ENOMEM);
        return nullptr;
    }
    io.release();  // owned by pb->opaque from here, freed by unicode_avio_close
    AError = 0;
    return pb;
}

void unicode_avio_close(AVIOContext*& APb) {
    if (!APb) {
        return;
    }
    std::unique_ptr<TUnicodeIO> io(static_cast<TUnicodeIO*>(APb->opaque));
    if (APb->write_flag) {
        ff::avio_flush(APb);
    }
    ff::av_freep(&APb->buffer);
    ff::avio_context_free(&APb);
    if (io) {
        unicode_close(&io->Context);
    }
}
