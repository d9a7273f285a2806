#include "KBitmap.h"
#include "KCursor.h"
#include "KFont.h"
#include "KIcon.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ObjectCounter.h"

namespace {

// The font the system made, read back from the handle: what the text is drawn with.
TEST(KFontTest, FontsAreMadeAsAskedAndReleasedOnlyWhenOwned) {
    struct {
        const wchar_t* face;
        int height;
        bool underline;
    } cases[] = {{L"Arial", 13, false}, {L"Arial", 14, true}, {L"", 12, false}};
    for (auto& c : cases) {
        KFont font(KString(c.face), c.height, c.underline);
        LOGFONTW made = {};
        ASSERT_NE(GetObjectW(font.GetHandle(), sizeof(made), &made), 0) << c.height;
        EXPECT_EQ(made.lfHeight, c.height);
        EXPECT_EQ(made.lfUnderline, c.underline ? 1 : 0);
        EXPECT_EQ(ObjectCounter::LastFont().faceIsNull, c.face[0] == L'\0')
            << "an empty face lets the system choose";
    }
    const int foreign = ObjectCounter::ForeignReleases();
    ObjectCounter::FailNextFonts(1);
    { KFont failed(KString(L"Arial"), 13, false); }
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
    const int liveBefore = ObjectCounter::Live();
    const int foreignBefore = ObjectCounter::ForeignReleases();
    const int kernelBefore = CountKernelHandles();
    ASSERT_GT(kernelBefore, 0) << "the kernel handle count does not work here";
    const int rounds = 300;
    int peak = 0;
    {
        std::vector<std::unique_ptr<KFont>> fonts;
        std::vector<std::unique_ptr<KIcon>> icons;
        std::vector<std::unique_ptr<KBitmap>> bitmaps;
        std::vector<std::unique_ptr<KCursor>> cursors;
        for (int i = 0; i < rounds; ++i) {
            fonts.emplace_back(new KFont(KString(L"Arial"), 10 + i % 8, i % 2 == 0));
            icons.emplace_back(new KIcon());
            bitmaps.emplace_back(new KBitmap());
            cursors.emplace_back(new KCursor());
            // Loading again replaces the first image: nothing of it may stay behind.
            for (int load = 0; load <= i % 2; ++load) {
                icons.back()->LoadFromResource(102);
                bitmaps.back()->LoadFromResource(101);
                cursors.back()->LoadSystemCursor(32513); // IDC_IBEAM
            }
        }
        ASSERT_NE(icons.back()->GetHandle(), nullptr);
        ASSERT_NE(bitmaps.back()->GetHandle(), nullptr);
        ASSERT_NE(cursors.back()->GetHandle(), nullptr);
        peak = ObjectCounter::Live();
    }
    EXPECT_EQ(peak - liveBefore, 3 * rounds) << "one font, icon and bitmap per round";
    EXPECT_EQ(ObjectCounter::Live(), liveBefore) << "every owned object is released";
    EXPECT_EQ(ObjectCounter::ForeignReleases(), foreignBefore)
        << "no shared cursor or stock object was released, nothing twice";
    EXPECT_EQ(CountKernelHandles(), kernelBefore);

    // A resource that does not exist leaves a null handle, also after a good one.
    KBitmap missing;
    missing.LoadFromResource(101);
    missing.LoadFromResource(999);
    EXPECT_EQ(missing.GetHandle(), nullptr);
}

} // namespace
