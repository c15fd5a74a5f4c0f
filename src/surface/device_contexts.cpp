// Memory device contexts: selecting bitmaps into them, the stretching mode,
// and the parallelogram transfer between two of them.
#include <cmath>
#include <cstdlib>
#include <new>

#include "resample/transfer.h"
#include "surface/services.h"
#include "surface/testing.h"

namespace platform {

namespace pixels = veerpic::pixels;
using detail::AsBitmap;
using detail::AsDc;

namespace {
// The stock object a new DC holds before a bitmap is selected into it.
int stockBitmapTag;
detail::LiveSet dcs;
}  // namespace

GdiDc* detail::AsDc(const void* object) {
    return dcs.Has(object) ? static_cast<GdiDc*>(const_cast<void*>(object)) : nullptr;
}

long detail::LiveDcs() {
    return dcs.Count();
}

HDC CreateCompatibleDC(HDC dc) {
    if (dc != nullptr && AsDc(dc) == nullptr) {
        return detail::Fail(ERROR_INVALID_HANDLE, nullptr);
    }
    const bool injected = InjectedFault(SystemCall::kAllocate) != 0;
    auto* created = injected ? nullptr : new (std::nothrow) GdiDc;
    if (created == nullptr || !dcs.Add(created)) {
        delete created;
        return detail::Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    return created;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    GdiDc* target = AsDc(dc);
    if (target == nullptr || object == nullptr) {
        return detail::Fail(ERROR_INVALID_HANDLE, nullptr);
    }
    HGDIOBJ previous = target->selected != nullptr ? static_cast<HGDIOBJ>(target->selected)
                                                   : static_cast<HGDIOBJ>(&stockBitmapTag);
    GdiBitmap* bitmap = object == &stockBitmapTag ? nullptr : AsBitmap(object);
    if (object != &stockBitmapTag && (bitmap == nullptr || (bitmap->selectedInto != nullptr &&
                                                            bitmap->selectedInto != target))) {
        return detail::Fail(ERROR_INVALID_PARAMETER, nullptr);  // a bitmap sits in one DC at a time
    }
    if (target->selected != nullptr) {
        target->selected->selectedInto = nullptr;
    }
    if (bitmap != nullptr) {
        bitmap->selectedInto = target;
    }
    target->selected = bitmap;
    return previous;
}

int SetStretchBltMode(HDC dc, int mode) {
    GdiDc* target = AsDc(dc);
    if (target == nullptr || mode < BLACKONWHITE || mode > HALFTONE) {
        return detail::Fail(ERROR_INVALID_PARAMETER, 0);
    }
    const int previous = target->stretchMode;
    target->stretchMode = mode;
    return previous;
}

BOOL PlgBlt(HDC dest, const POINT* points, HDC source, int xSrc, int ySrc, int width, int height,
            HBITMAP mask, int xMask, int yMask) {
    (void)xMask;
    (void)yMask;
    GdiDc* to = AsDc(dest);
    GdiDc* from = AsDc(source);
    if (to == nullptr || from == nullptr || points == nullptr || mask != nullptr ||
        to->selected == nullptr || from->selected == nullptr || width <= 0 || height <= 0) {
        return detail::Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    const GdiBitmap& src = *from->selected;
    if (xSrc < 0 || ySrc < 0 || xSrc > src.format.width - width ||
        ySrc > src.format.height - height) {
        return detail::Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    // Only the halftone transfer is implemented; it is what the tool asks for.
    if (to->stretchMode != HALFTONE) {
        return detail::Fail(ERROR_NOT_SUPPORTED, FALSE);
    }
    const veerpic::resample::Point corners[3] = {
        {points[0].x, points[0].y}, {points[1].x, points[1].y}, {points[2].x, points[2].y}};
    // A parallelogram that covers a quarter of the destination or more
    // draws on most of its pages: large pages cost less than a fault for
    // each small one. A thinner one leaves most pages never allocated.
    GdiBitmap& target = *to->selected;
    const double ux = static_cast<double>(points[1].x) - points[0].x;
    const double uy = static_cast<double>(points[1].y) - points[0].y;
    const double vx = static_cast<double>(points[2].x) - points[0].x;
    const double vy = static_cast<double>(points[2].y) - points[0].y;
    const double area = std::abs(ux * vy - vx * uy);
    if (4 * area >= static_cast<double>(target.format.width) * std::abs(target.format.height)) {
        detail::FillSectionBits(target.pixels);
    }
    const veerpic::resample::WorkingMemory memory{&detail::AllocateWorking,
                                                  &detail::ReleaseWorking};
    const pixels::Status status = veerpic::resample::TransferParallelogram(
        target.Plane(), corners, src.Plane(), {xSrc, ySrc, width, height}, true, &memory);
    if (status != pixels::Status::kOk) {
        return detail::Fail(detail::ErrorFromStatus(status), FALSE);
    }
    return TRUE;
}

BOOL DeleteDC(HDC dc) {
    GdiDc* target = AsDc(dc);
    if (target == nullptr) {
        return detail::Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (target->selected != nullptr) {
        target->selected->selectedInto = nullptr;
    }
    dcs.Remove(target);
    delete target;
    return TRUE;
}

}  // namespace platform
