#include <gtest/gtest.h>

#include "engine/base/FFBaseComponent.h"

TEST(FFBaseComponent, NewComponentHasVersionAndDefaultTimeouts) {
    TFFBaseComponent component;
    EXPECT_EQ(component.Version(), "5.5a");
    EXPECT_EQ(component.ReadTimeout(), 30000);
    EXPECT_EQ(component.WriteTimeout(), 30000);
    component.SetReadTimeout(5000);
    EXPECT_EQ(component.ReadTimeout(), 5000);
}

TEST(FFBaseComponent, SeekFlagsMapToFFmpegWord) {
    EXPECT_EQ(MakeSeekFlags(TSeekFlags{sfBackward, sfAny}), 5);
    EXPECT_EQ(MakeSeekFlags(TSeekFlags{}), 0);
    EXPECT_EQ(MakeSeekFlags(TSeekFlags{sfBackward, sfByte, sfAny, sfFrame}), 15);
    EXPECT_EQ(MakeSeekFlags(TSeekFlags{sfFrame}), 8);
}

TEST(FFBaseComponent, IntToSeekFlagsKeepsLowestBitOnly) {
    EXPECT_EQ(IntToSeekFlags(5), TSeekFlags{sfBackward});
    EXPECT_EQ(IntToSeekFlags(16), TSeekFlags{});
    EXPECT_EQ(IntToSeekFlags(12), TSeekFlags{sfAny});
    EXPECT_EQ(IntToSeekFlags(8), TSeekFlags{sfFrame});
}
