#include "KBitmap.h"
#include "KCursor.h"
#include "KFont.h"
#include "KIcon.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ObjectCounter.h"

namespace {

TEST(KFontTest, OnlyAFontOfItsOwnIsReleased) {
    KFont link(KString(L"Arial"), 14, true);
    LOGFONTW made = {};
    GetObjectW(link.GetHandle(), sizeof(made), &made);
    EXPECT_TRUE(made.lfHeight == 14 && made.lfUnderline == 1) << "the font asked for";
    EXPECT_STREQ(made.lfFaceName, L"Arial");
    const int foreign = ObjectCounter::ForeignReleases();
    ObjectCounter::FailNextFonts(1);
    delete new KFont(KString(L"Arial"), 13, false); // its creation fails
    EXPECT_FALSE(ObjectCounter::WasDeleted(nullptr)) << "a failed font releases nothing";
    // The default font is one shared wrapper of the stock font, which its
    // destruction (as at the last shutdown) leaves alone.
    KFont* shared = KFont::GetDefaultFont();
    EXPECT_EQ(KFont::GetDefaultFont(), shared);
    HGDIOBJ stock = GetStockObject(DEFAULT_GUI_FONT);
    EXPECT_EQ(shared->GetHandle(), stock);
    KFont::DestroyDefaultFont();
    EXPECT_FALSE(ObjectCounter::WasDeleted(stock));
    EXPECT_EQ(ObjectCounter::ForeignReleases(), foreign);
    ASSERT_NE(KFont::GetDefaultFont(), nullptr);
}

TEST(KResourceTest, WrappersReleaseExactlyWhatTheyOwn) {
    const int live = ObjectCounter::Live(), foreign = ObjectCounter::ForeignReleases();
    const int kernel = CountKernelHandles();
    ASSERT_GT(kernel, 0) << "the kernel handle count does not work here";
    int peak = 0;
    {
        std::vector<std::unique_ptr<KFont>> fonts;
        std::vector<std::unique_ptr<KIcon>> icons;
        std::vector<std::unique_ptr<KBitmap>> bitmaps;
        std::vector<std::unique_ptr<KCursor>> cursors;
        for (int i = 0; i < 300; ++i) {
            fonts.emplace_back(new KFont(KString(L"Arial"), 10 + i % 8, i % 2 == 0));
            icons.emplace_back(new KIcon());
            bitmaps.emplace_back(new KBitmap());
            cursors.emplace_back(new KCursor());
            for (int load = 0; load <= i % 2; ++load) { // a second load replaces the first
                icons.back()->LoadFromResource(102);
                bitmaps.back()->LoadFromResource(101);
                cursors.back()->LoadSystemCursor(32513); // IDC_IBEAM
            }
        }
        ASSERT_TRUE(icons.back()->GetHandle() && bitmaps.back()->GetHandle());
        ASSERT_NE(cursors.back()->GetHandle(), nullptr);
        peak = ObjectCounter::Live();
    }
    EXPECT_EQ(peak - live, 900) << "one font, icon and bitmap per round";
    EXPECT_EQ(ObjectCounter::Live(), live) << "every owned object is released";
    EXPECT_EQ(ObjectCounter::ForeignReleases(), foreign) << "nothing shared, nothing twice";
    EXPECT_EQ(CountKernelHandles(), kernel);
    KBitmap missing; // a resource that does not exist leaves no handle, also after one that does
    missing.LoadFromResource(101);
    missing.LoadFromResource(999);
    EXPECT_EQ(missing.GetHandle(), nullptr);
}

} // namespace
