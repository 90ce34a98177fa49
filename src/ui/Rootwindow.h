// Rootwindow: the application's hidden top-level window. It is created first, on the main
// thread, is never shown, and is the owner of the splash window. The application object owns
// it and deletes it at shutdown, which destroys the window.
#pragma once

#include "Loguser.h"
#include "Window.h"

#include <string>

class Rootwindow : public Window, public Loguser {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_CONSTRUCTOR = L"Rootwindow::Rootwindow";
    static constexpr const wchar_t* FN_DESTRUCTOR = L"Rootwindow::~Rootwindow";

    Rootwindow(Logger* logger, const std::wstring& title);
    ~Rootwindow() override;
    int32_t getClassKind() const override { return 0; }
};
