#include "cDWTctrlLabel.h"

#include "PaintContext.h"

#include <vector>

cDWTctrlLabel::cDWTctrlLabel(Logger* logger, HWND parent, const std::wstring& text, const std::wstring& hoverText,
                             cDWTctrlLabel* hoverTarget, LOGFONTW fontDescription, COLORREF textColour, int32_t centred,
                             int32_t clickCode, int32_t x, int32_t y, int32_t width, int32_t height, UINT dpi)
    : cDWTctrl(logger, 0, L"", x, y, width, height, parent), clickCode(clickCode), text(text), hoverText(hoverText),
      textColour(textColour), centred(centred), eraseOnNextPaint(0), hoverTarget(hoverTarget), constructed(0),
      paintCount(0)
{
    if (clickCode == 0) {
        modifyStyle(0, WS_DISABLED);
    }
    if (dpi == 0) {
        font.createPointFontIndirect(fontDescription);
    } else {
        font.createPointFontForDpi(fontDescription, static_cast<int>(dpi));
    }
    constructed = 1;
}

cDWTctrlLabel::~cDWTctrlLabel() = default;

void cDWTctrlLabel::setText(const std::wstring& newText, int32_t erase)
{
    {
        std::lock_guard<std::mutex> lock(textLock);
        if (newText == text) {
            return;
        }
        text = newText;
        eraseOnNextPaint = erase;
    }
    // Outside the lock: from another thread this waits for the label's thread to paint, and
    // that paint takes the lock.
    if (handle != nullptr) {
        ::RedrawWindow(handle, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
}

std::wstring cDWTctrlLabel::getText() const
{
    std::lock_guard<std::mutex> lock(textLock);
    return text;
}

std::wstring cDWTctrlLabel::getPaintedText() const
{
    std::lock_guard<std::mutex> lock(textLock);
    return paintedText;
}

std::wstring cDWTctrlLabel::fitText(HDC dc, const std::wstring& original, int32_t width)
{
    std::wstring fitted = original;
    if (fitted.empty()) {
        return fitted;
    }
    SIZE extent{};
    ::GetTextExtentPoint32W(dc, fitted.c_str(), static_cast<int>(fitted.size()), &extent);
    while (extent.cx >= width) {
        fitted = fitted.substr(0, fitted.size() >= 4 ? fitted.size() - 4 : 0) + L"...";
        if (fitted == L"...") {
            fitted = original.substr(0, 1) + L"...";
            break;
        }
        ::GetTextExtentPoint32W(dc, fitted.c_str(), static_cast<int>(fitted.size()), &extent);
    }
    return fitted;
}

void cDWTctrlLabel::OnPaint()
{
    std::wstring current;
    {
        std::lock_guard<std::mutex> lock(textLock);
        current = text;
    }
    PaintContext paint(handle);
    HDC dc = paint.dc();
    if (dc == nullptr) {
        return;
    }
    RECT client{};
    ::GetClientRect(handle, &client);
    ::SetBkMode(dc, TRANSPARENT);
    handles::SelectedObject selectedFont;
    if (font.created()) {
        selectedFont = handles::SelectedObject(dc, font.get());
    }
    ::SetTextColor(dc, textColour);
    UINT format = DT_SINGLELINE | DT_VCENTER;
    if (centred == 1) {
        format |= DT_CENTER;
    }
    const std::wstring fitted = fitText(dc, current, client.right - client.left);
    if (!fitted.empty()) {
        std::vector<wchar_t> buffer(fitted.begin(), fitted.end());
        buffer.push_back(L'\0');
        RECT r{0, 0, client.right - client.left, client.bottom - client.top};
        ::DrawTextExW(dc, buffer.data(), static_cast<int>(fitted.size()), &r, format, nullptr);
    }
    selectedFont.reset();
    {
        std::lock_guard<std::mutex> lock(textLock);
        paintedText = fitted;
    }
    paintCount.fetch_add(1);
}

BOOL cDWTctrlLabel::OnEraseBkgnd(HDC dc)
{
    {
        std::lock_guard<std::mutex> lock(textLock);
        if (eraseOnNextPaint == 0) {
            return TRUE;
        }
        eraseOnNextPaint = 0;
    }
    return cDWTctrl::OnEraseBkgnd(dc);
}

void cDWTctrlLabel::OnLButtonUp(UINT, POINT)
{
    if (clickCode != 0 && handle != nullptr) {
        ::SendMessageW(::GetParent(handle), WM_COMMAND,
                       MAKEWPARAM(static_cast<WORD>(controlId), static_cast<WORD>(clickCode)),
                       reinterpret_cast<LPARAM>(handle));
    }
}

void cDWTctrlLabel::OnMouseMove(UINT, POINT)
{
    TRACKMOUSEEVENT track{};
    track.cbSize = sizeof(track);
    track.dwFlags = TME_HOVER | TME_LEAVE;
    track.hwndTrack = handle;
    track.dwHoverTime = 1;
    ::TrackMouseEvent(&track);
}

void cDWTctrlLabel::OnMouseHover(UINT, POINT)
{
    if (!hoverText.empty() && hoverTarget != nullptr) {
        hoverTarget->setText(hoverText, 1);
    }
}

void cDWTctrlLabel::OnMouseLeave()
{
    if (hoverTarget != nullptr) {
        hoverTarget->setText(L"", 1);
    }
}
