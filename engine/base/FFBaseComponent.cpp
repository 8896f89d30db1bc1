#include "engine/base/FFBaseComponent.h"

TFFBaseComponent::TFFBaseComponent() : FVersion("5.5a"), FReadTimeout(30000), FWriteTimeout(30000) {}

int MakeSeekFlags(TSeekFlags ASeekFlags) {
    return ASeekFlags.Bits() & 0xF;
}

TSeekFlags IntToSeekFlags(int AFlags) {
    static constexpr TSeekFlag kOrder[] = {sfBackward, sfByte, sfAny, sfFrame};
    for (TSeekFlag f : kOrder) {
        if (AFlags & (1 << f)) {
            return TSeekFlags{f};
        }
    }
    return TSeekFlags{};
}
