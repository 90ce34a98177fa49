// Answers every "Security Warning" window of this process (WinINet's certificate dialog) with Yes
// or No, from a thread of its own, until destroyed.
#pragma once

#include "testsupport.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <thread>

namespace testsupport {

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
    struct Search {
        DWORD pid;
        HWND found;
    };
    static BOOL CALLBACK topLevel(HWND w, LPARAM lp)
    {
        auto* s = reinterpret_cast<Search*>(lp);
        DWORD pid = 0;
        ::GetWindowThreadProcessId(w, &pid);
        wchar_t title[64] = {};
        ::GetWindowTextW(w, title, 64);
        if (pid == s->pid && wcscmp(title, L"Security Warning") == 0 && ::IsWindowVisible(w)) {
            s->found = w;
            return FALSE;
        }
        return TRUE;
    }
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
            Search s = {::GetCurrentProcessId(), nullptr};
            ::EnumWindows(topLevel, reinterpret_cast<LPARAM>(&s));
            if (s.found != nullptr) {
                ButtonSearch b = {yes_ ? L"&Yes" : L"&No", yes_ ? L"Yes" : L"No", nullptr};
                ::EnumChildWindows(s.found, child, reinterpret_cast<LPARAM>(&b));
                const int id = b.found != nullptr ? ::GetDlgCtrlID(b.found) : (yes_ ? IDOK : IDCANCEL);
                ::PostMessageW(s.found, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b.found));
                ++answered_;
                // Give the dialog time to close before looking again.
                testsupport::waitFor([&] { return !::IsWindow(s.found) || !::IsWindowVisible(s.found); }, 5000);
            }
            ::Sleep(20);
        }
    }

    bool yes_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};


} // namespace testsupport
