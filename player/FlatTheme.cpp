#include "FlatTheme.h"

FlatThemeValues FlatTheme = {nullptr, nullptr, nullptr, 0, 0};

void CreateFlatTheme() {
    FlatTheme.backBrush = CreateSolidBrush(RGB(0, 0, 0));
    FlatTheme.frameBrush = CreateSolidBrush(RGB(255, 255, 255));
    FlatTheme.checkBrush = CreateSolidBrush(RGB(246, 159, 32));
    FlatTheme.textColor = RGB(255, 255, 255);
    FlatTheme.linkColor = RGB(0, 255, 0);
}

void ReleaseFlatTheme() {
    DeleteObject(FlatTheme.checkBrush);
    DeleteObject(FlatTheme.backBrush);
    DeleteObject(FlatTheme.frameBrush);
    FlatTheme.checkBrush = nullptr;
    FlatTheme.backBrush = nullptr;
    FlatTheme.frameBrush = nullptr;
}
