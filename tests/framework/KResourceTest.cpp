#include "KBitmap.h"
#include "KCursor.h"
#include "KFont.h"
#include "KIcon.h"

#include <gtest/gtest.h>

#include "ObjectCounter.h"

namespace {

TEST(KFontTest, CreationArgumentsAndRelease) {
    {
        KFont plain(KString(L"Arial"), 13, false);
        CreateFontCall call = ObjectCounter::LastFont();
        EXPECT_EQ(call.height, 13);
        EXPECT_EQ(call.underline, 0u);
        EXPECT_FALSE(call.faceIsNull);
        EXPECT_STREQ(call.face, L"Arial");
        ASSERT_NE(plain.GetHandle(), nullptr);
    }
    {
        KFont underlined(KString(L"Arial"), 14, true);
        EXPECT_EQ(ObjectCounter::LastFont().underline, 1u) << "exactly 1, not any non-zero value";
    }
    {
        KFont systemFace(KString(), 12, false);
        EXPECT_TRUE(ObjectCounter::LastFont().faceIsNull) << "an empty face lets the system choose";
        EXPECT_NE(systemFace.GetHandle(), nullptr);
    }
    int foreignBefore = ObjectCounter::ForeignReleases();
    {
        ObjectCounter::FailNextFonts(1);
        KFont failed(KString(L"Arial"), 13, false);
        EXPECT_EQ(failed.GetHandle(), nullptr);
    }
    EXPECT_FALSE(ObjectCounter::WasDeleted(nullptr)) << "a failed font releases nothing";
    EXPECT_EQ(ObjectCounter::ForeignReleases(), foreignBefore);
}

TEST(KFontTest, DefaultFontIsTheSharedStockFont) {
    KFont* first = KFont::GetDefaultFont();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(KFont::GetDefaultFont(), first);
    HFONT stock = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    EXPECT_EQ(first->GetHandle(), stock);

    // Destroying the wrapper (as the last shutdown does) leaves the stock font alone.
    KFont::DestroyDefaultFont();
    EXPECT_FALSE(ObjectCounter::WasDeleted(stock));
    KFont* again = KFont::GetDefaultFont();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->GetHandle(), stock);
}

TEST(KResourceTest, WrappersReleaseExactlyWhatTheyOwn) {
    const int liveBefore = ObjectCounter::Live();
    const int foreignBefore = ObjectCounter::ForeignReleases();
    const int kernelBefore = CountKernelHandles();
    ASSERT_GT(kernelBefore, 0) << "the kernel handle count does not work here";

    const int rounds = 300;
    int peak = 0;
    {
        std::vector<KFont*> fonts;
        std::vector<KIcon*> icons;
        std::vector<KBitmap*> bitmaps;
        std::vector<KCursor*> cursors;
        for (int i = 0; i < rounds; ++i) {
            fonts.push_back(new KFont(KString(L"Arial"), 10 + i % 8, i % 2 == 0));
            icons.push_back(new KIcon());
            icons.back()->LoadFromResource(102);
            bitmaps.push_back(new KBitmap());
            bitmaps.back()->LoadFromResource(101);
            cursors.push_back(new KCursor());
            if (i % 2 == 0) {
                cursors.back()->LoadSystemCursor(32513); // IDC_IBEAM
            }
        }
        ASSERT_NE(icons.back()->GetHandle(), nullptr);
        ASSERT_NE(bitmaps.back()->GetHandle(), nullptr);
        ASSERT_NE(cursors.front()->GetHandle(), nullptr);
        peak = ObjectCounter::Live();
        for (auto* p : fonts)
            delete p;
        for (auto* p : icons)
            delete p;
        for (auto* p : bitmaps)
            delete p;
        for (auto* p : cursors)
            delete p;
    }
    EXPECT_EQ(peak - liveBefore, 3 * rounds) << "fonts, icons and bitmaps are counted";
    EXPECT_EQ(ObjectCounter::Live(), liveBefore) << "every owned object is released";
    EXPECT_EQ(ObjectCounter::ForeignReleases(), foreignBefore)
        << "no shared cursor or stock object was released, nothing twice";
    EXPECT_EQ(CountKernelHandles(), kernelBefore);

    // A resource that does not exist leaves a null handle and nothing to release.
    KBitmap missing;
    missing.LoadFromResource(999);
    EXPECT_EQ(missing.GetHandle(), nullptr);
}

} // namespace
