#include "rotate/rotate.h"

#include "rotate/geometry.h"

namespace veerpic {

using namespace platform;

HBITMAP CreateRgb24Bitmap(HDC dc, LONG width, LONG height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    return CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0, sizeof info);
}

HBITMAP RotateBitmap(HBITMAP source, double angleDegrees) {
    BITMAP record{};
    if (GetObjectA(source, sizeof record, &record) == 0) {
        return nullptr;
    }
    const LONG width = record.bmWidth;
    const LONG height = record.bmHeight;

    // A whole number of turns gives a copy at the source's own depth.
    if (IsWholeTurn(angleDegrees)) {
        return static_cast<HBITMAP>(CopyImage(source, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    }

    const RotationGeometry geometry = ComputeRotationGeometry(width, height, angleDegrees);
    if (!geometry.valid) {
        return nullptr;  // beyond the trigonometric range, or a canvas no bitmap can hold
    }

    HDC destDc = CreateCompatibleDC(nullptr);
    if (destDc == nullptr) {
        return nullptr;
    }
    HBITMAP canvas = CreateRgb24Bitmap(destDc, geometry.canvasWidth, geometry.canvasHeight);
    if (canvas == nullptr) {
        DeleteDC(destDc);
        return nullptr;
    }
    HDC sourceDc = CreateCompatibleDC(nullptr);
    if (sourceDc == nullptr) {
        DeleteObject(canvas);
        DeleteDC(destDc);
        return nullptr;
    }
    HGDIOBJ previousDest = SelectObject(destDc, canvas);
    HGDIOBJ previousSource = SelectObject(sourceDc, source);

    SetStretchBltMode(destDc, HALFTONE);
    // A transfer that could not draw the picture (a source wider or taller
    // than the transfer takes, or no memory for its work) leaves a canvas
    // that is not the turned picture: that is a failure, not a result.
    const BOOL drawn =
        PlgBlt(destDc, geometry.corners, sourceDc, 0, 0, width, height, nullptr, 0, 0);

    SelectObject(destDc, previousDest);
    SelectObject(sourceDc, previousSource);
    DeleteDC(destDc);
    DeleteDC(sourceDc);
    if (!drawn) {
        DeleteObject(canvas);
        return nullptr;
    }
    return canvas;
}

}  // namespace veerpic
