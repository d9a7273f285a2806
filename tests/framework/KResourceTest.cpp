#include "KBitmap.h"
#include "KCursor.h"
#include "KFont.h"
#include "KIcon.h"

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

// Each wrapper holds what it loaded (the icon: its large and its small image; a
// second load replaces the first), and releases exactly that: never a shared
// cursor, nothing twice.
TEST(KResourceTest, WrappersReleaseExactlyWhatTheyOwn) {
    const int live = ObjectCounter::Live(), foreign = ObjectCounter::ForeignReleases();
    for (int loads = 1; loads <= 2; ++loads) {
        KFont font(KString(L"Arial"), 14, true);
        KIcon icon;
        KBitmap rose, missing;
        KCursor ibeam, unloaded;
        for (int i = 0; i < loads; ++i) {
            icon.LoadFromResource(102);
            rose.LoadFromResource(101);
            ibeam.LoadSystemCursor(32513); // IDC_IBEAM
            missing.LoadFromResource(i == 0 ? 101 : 999); // ends on a resource that is missing
        }
        EXPECT_TRUE(font.GetHandle() && icon.GetHandle() && rose.GetHandle() && ibeam.GetHandle());
        EXPECT_EQ(missing.GetHandle() == nullptr, loads == 2);
        EXPECT_EQ(ObjectCounter::Live(), live + 4 + (loads == 1)) << "the first loads released";
    }
    EXPECT_EQ(ObjectCounter::Live(), live) << "every owned object is released";
    EXPECT_EQ(ObjectCounter::ForeignReleases(), foreign) << "nothing shared, nothing twice";
}

