// Answers WinINet's dialogs in this process from a thread of its own, until destroyed:
// DialogAnswerer every "Security Warning" window (the certificate dialog) with Yes or No,
// CredentialAnswerer every "Enter Network Password" or "Authentication Required" window (Wine's
// proxy and server password dialogs) with a user name and password and OK, or with Cancel.
#pragma once

#include "testsupport.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct OwnDialogSearch {
    std::vector<const wchar_t*> titles;
    HWND found;
};

inline BOOL CALLBACK ownDialogOfTitle(HWND w, LPARAM lp)
{
    auto* s = reinterpret_cast<OwnDialogSearch*>(lp);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(w, &pid);
    wchar_t title[64] = {};
    ::GetWindowTextW(w, title, 64);
    for (const wchar_t* wanted : s->titles) {
        if (pid == ::GetCurrentProcessId() && wcscmp(title, wanted) == 0 && ::IsWindowVisible(w)) {
            s->found = w;
            return FALSE;
        }
    }
    return TRUE;
}

// A visible top-level window of this process whose title is one of titles; null when none.
inline HWND findOwnDialog(std::vector<const wchar_t*> titles)
{
    OwnDialogSearch search{std::move(titles), nullptr};
    ::EnumWindows(ownDialogOfTitle, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

class DialogAnswerer {
public:
    explicit DialogAnswerer(bool yes) : yes_(yes), thread_([this] { run(); }) {}
    ~DialogAnswerer()
    {
        stop_ = true;
        thread_.join();
    }
    int answered() const { return answered_; }

private:
    struct ButtonSearch {
        const wchar_t* a;
        const wchar_t* b;
        HWND found;
    };
    static BOOL CALLBACK child(HWND w, LPARAM lp)
    {
        auto* s = reinterpret_cast<ButtonSearch*>(lp);
        wchar_t text[64] = {};
        ::GetWindowTextW(w, text, 64);
        if (wcscmp(text, s->a) == 0 || wcscmp(text, s->b) == 0) {
            s->found = w;
            return FALSE;
        }
        return TRUE;
    }
    void run()
    {
        while (!stop_) {
            const HWND dialog = findOwnDialog({L"Security Warning"});
            if (dialog != nullptr) {
                ButtonSearch b = {yes_ ? L"&Yes" : L"&No", yes_ ? L"Yes" : L"No", nullptr};
                ::EnumChildWindows(dialog, child, reinterpret_cast<LPARAM>(&b));
                const int id = b.found != nullptr ? ::GetDlgCtrlID(b.found) : (yes_ ? IDOK : IDCANCEL);
                ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b.found));
                ++answered_;
                // Give the dialog time to close before looking again.
                testsupport::waitFor([&] { return !::IsWindow(dialog) || !::IsWindowVisible(dialog); }, 5000);
            }
            ::Sleep(20);
        }
    }

    bool yes_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

class CredentialAnswerer {
public:
    // Empty user: Cancel. Otherwise the user name and password are typed into the dialog's edit
    // boxes (the password box is the one with ES_PASSWORD) and OK is pressed.
    CredentialAnswerer(std::wstring user, std::wstring password)
        : user_(std::move(user)), password_(std::move(password)), thread_([this] { run(); })
    {
    }
    ~CredentialAnswerer()
    {
        stop_ = true;
        thread_.join();
    }
    int answered() const { return answered_; }
    // The texts of the last dialog's controls (labels, the proxy's name, the realm), joined by "|".
    std::wstring texts() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }

private:
    static BOOL CALLBACK child(HWND w, LPARAM lp)
    {
        reinterpret_cast<std::vector<HWND>*>(lp)->push_back(w);
        return TRUE;
    }
    void answer(HWND dialog)
    {
        std::vector<HWND> children;
        ::EnumChildWindows(dialog, child, reinterpret_cast<LPARAM>(&children));
        std::wstring texts;
        for (HWND c : children) {
            wchar_t text[256] = {};
            ::GetWindowTextW(c, text, 256);
            texts += std::wstring(text) + L"|";
            wchar_t cls[32] = {};
            ::GetClassNameW(c, cls, 32);
            if (!user_.empty() && _wcsicmp(cls, L"Edit") == 0) {
                const bool isPassword = (::GetWindowLongW(c, GWL_STYLE) & ES_PASSWORD) != 0;
                ::SendMessageW(c, WM_SETTEXT, 0,
                               reinterpret_cast<LPARAM>(isPassword ? password_.c_str() : user_.c_str()));
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_ = texts;
        }
        ::PostMessageW(dialog, WM_COMMAND, user_.empty() ? IDCANCEL : IDOK, 0);
    }
    void run()
    {
        while (!stop_) {
            const HWND dialog = findOwnDialog({L"Enter Network Password", L"Authentication Required"});
            if (dialog != nullptr) {
                answer(dialog);
                ++answered_;
                testsupport::waitFor([&] { return !::IsWindow(dialog) || !::IsWindowVisible(dialog); }, 5000);
            }
            ::Sleep(20);
        }
    }

    std::wstring user_;
    std::wstring password_;
    mutable std::mutex mutex_;
    std::wstring texts_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

} // namespace testsupport
