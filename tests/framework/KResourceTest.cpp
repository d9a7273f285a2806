#include "KFont.h"

#include <gtest/gtest.h>

#include "ObjectCounter.h"

// The default font is one shared wrapper of the stock font, which its destruction
// (as at the last shutdown) leaves alone.
TEST(KFontTest, TheDefaultFontIsSharedAndNeverDeleted) {
    KFont* shared = KFont::GetDefaultFont();
    HGDIOBJ stock = GetStockObject(DEFAULT_GUI_FONT);
    EXPECT_TRUE(KFont::GetDefaultFont() == shared && shared->GetHandle() == stock);
    KFont::DestroyDefaultFont();
    EXPECT_FALSE(ObjectCounter::WasDeleted(stock));
    ASSERT_NE(KFont::GetDefaultFont(), nullptr);
}
