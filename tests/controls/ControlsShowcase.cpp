// Shows every flat control in one flat window on the display and saves what the
// screen shows of it as a BMP (the screenshot script turns it into a PNG).
// Usage: controls_showcase <output.bmp>
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <vector>

#include "FButton.h"
#include "FCheckBox.h"
#include "FLinkLabel.h"
#include "FPictureBox.h"
#include "FStaticTextBox.h"
#include "FTrackBar.h"
#include "FWindow.h"
#include "FlatTheme.h"
#include "KRuntime.h"

namespace {

void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

bool SaveBmp(const wchar_t* path, HDC source, int x, int y, int w, int h) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h; // bottom-up, as BMP files store it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memoryDC = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateDIBSection(memoryDC, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memoryDC, bitmap);
    BitBlt(memoryDC, 0, 0, w, h, source, x, y, SRCCOPY);
    GdiFlush();
    const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + stride * static_cast<DWORD>(h);
    bool ok = false;
    FILE* out = _wfopen(path, L"wb");
    if (out != nullptr) {
        ok = fwrite(&file, sizeof(file), 1, out) == 1 &&
             fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out) == 1 &&
             fwrite(bits, stride * static_cast<DWORD>(h), 1, out) == 1;
        fclose(out);
    }
    SelectObject(memoryDC, previous);
    DeleteObject(bitmap);
    DeleteDC(memoryDC);
    return ok;
}

} // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc < 2) {
        fprintf(stderr, "usage: controls_showcase <output.bmp>\n");
        return 2;
    }
    FrameworkInit(GetModuleHandleW(nullptr));
    CreateFlatTheme();
    int status = 1;
    {
        FWindow window;
        window.SetSize(409, 170);
        window.SetPosition(40, 40);
        window.CreateComponent();

        FPictureBox picture;
        picture.SetPosition(30, 40);
        FStaticTextBox title;
        title.SetPosition(125, 40);
        title.SetText(KString(L"Purple Motion - Sundance (a title too long for the box)"));
        FTrackBar volume;
        volume.SetPosition(125, 80);
        FCheckBox agc;
        agc.SetPosition(125, 110);
        agc.SetText(KString(L"AGC"));
        FLinkLabel link;
        link.SetPosition(215, 108);
        link.SetText(KString(L"Quorvane"));
        FButton minimise;
        minimise.SetText(KString(L"_"));
        minimise.SetSize(20, 20);
        minimise.SetPosition(350, 12);
        FButton close;
        close.SetText(KString(L"x"));
        close.SetSize(20, 20);
        close.SetPosition(375, 12);
        FButton play;
        play.SetText(KString(L"FButton"));
        play.SetPosition(125, 132);
        KComponent* children[] = {&picture, &title, &volume, &agc, &link, &minimise, &close, &play};
        for (KComponent* child : children) {
            window.AddComponent(child);
        }
        volume.SetValue(50);
        agc.SetChecked(true);
        window.SetVisible(true);
        RedrawWindow(window.GetHWND(), nullptr, nullptr,
                     RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        Pump(300);

        // What the display shows, read from the screen itself.
        RECT r;
        GetWindowRect(window.GetHWND(), &r);
        HDC screen = GetDC(nullptr);
        status =
            SaveBmp(argv[1], screen, r.left, r.top, r.right - r.left, r.bottom - r.top) ? 0 : 1;
        ReleaseDC(nullptr, screen);
        DestroyWindow(window.GetHWND());
        Pump(20);
    }
    ReleaseFlatTheme();
    FrameworkShutdown();
    LocalFree(argv);
    return status;
}
