#include "Bitmap.h"

bool Bitmap::load(HINSTANCE module, UINT id)
{
    bitmap.reset();
    HBITMAP loadedBitmap = ::LoadBitmapW(module, MAKEINTRESOURCEW(id));
    if (loadedBitmap == nullptr) {
        return false;
    }
    bitmap.reset(loadedBitmap);
    return true;
}

SIZE Bitmap::size() const
{
    SIZE s{0, 0};
    BITMAP info{};
    if (bitmap.valid() && ::GetObjectW(bitmap.get(), sizeof(info), &info) == sizeof(info)) {
        s.cx = info.bmWidth;
        s.cy = info.bmHeight;
    }
    return s;
}
