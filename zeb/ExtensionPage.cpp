#include "zeb/ExtensionPage.h"

#include "platform/Processes.h"
#include "zeb/TextCase.h"

namespace zeb {

namespace {

constexpr const char* kNoExtensionSegment = "no-ext";

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string PercentEncode(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c)) {
            encoded += ch;
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0x0F];
        }
    }
    return encoded;
}

}  // namespace

std::string VendorHost() {
    return ZEB_VENDOR_HOST;
}

std::string BuildExtensionUrl(const std::string& segment) {
    return "http://" + VendorHost() + "/extension/" + PercentEncode(segment);
}

bool OpenExtensionInfoPage(const Globals& globals) {
    const std::string segment = globals.target_ext.empty() ? kNoExtensionSegment : globals.target_ext;
    return OpenUrl(BuildExtensionUrl(UnicodeLowerCase(segment)));
}

bool OpenUrl(const std::string& url) {
    return platform::ShellOpen(url);
}

}  // namespace zeb
