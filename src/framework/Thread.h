// Thread: the program's stand-in for an application framework's thread object. An object of a
// subclass is created on the heap, then its operating-system thread is started suspended
// (beginThread<T>, or createThread on an existing object); the thread calls InitInstance, then
// Run (or ExitInstance at once when InitInstance fails), and ends with the result of Run. Run's
// default is a message loop that calls the idle hook OnIdle while the queue is empty. With the
// auto-delete switch on (the default) the thread deletes its object when it ends; with it off,
// whoever created the object deletes it after the thread has ended.
#pragma once

#include "handles.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <type_traits>

class Thread {
public:
    Thread();
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Creates an object of T with its default constructor and starts its thread with the given
    // creation flags (CREATE_SUSPENDED: the thread waits for resumeThread). Null when the thread
    // cannot be created (the object is deleted then). T must derive from Thread.
    template <typename T>
    static T* beginThread(int priority = THREAD_PRIORITY_NORMAL, unsigned stackSize = 0, DWORD flags = 0)
    {
        static_assert(std::is_base_of_v<Thread, T>, "beginThread: the type must derive from Thread");
        // Factory: the new object goes to the caller (or, with auto-delete, to its own thread).
        auto object = std::make_unique<T>();
        if (!object->createThread(flags, stackSize)) {
            return nullptr;
        }
        if (priority != THREAD_PRIORITY_NORMAL) {
            object->setThreadPriority(priority);
        }
        return object.release();
    }

    // Starts the operating-system thread of this object; false when it cannot be created.
    bool createThread(DWORD flags = CREATE_SUSPENDED, unsigned stackSize = 0);
    DWORD resumeThread();
    bool setThreadPriority(int priority);

    virtual BOOL InitInstance();
    virtual int Run();
    virtual int ExitInstance();
    // Called by the default Run loop while the queue is empty, with the number of calls since the
    // last message; returning FALSE stops the idle calls until the next message.
    virtual BOOL OnIdle(LONG idleCount);

    void setAutoDelete(bool on) { autoDelete.store(on); }
    bool getAutoDelete() const { return autoDelete.load(); }
    HANDLE getThreadHandle() const { return threadHandle.get(); }
    DWORD getThreadId() const { return threadId; }
    // The thread's main window, if it has one (used to find "this thread's" monitor).
    HWND getMainWindow() const { return mainWindow; }
    void setMainWindow(HWND window) { mainWindow = window; }
    // True once the operating-system thread has ended (or never started).
    bool hasEnded() const;

    // The Thread object whose thread is calling, or null on a thread not started by this class.
    static Thread* current();

protected:
    handles::Kernel threadHandle;
    DWORD threadId = 0;
    HWND mainWindow = nullptr;
    int exitCode = 0;

private:
    static unsigned __stdcall entry(void* parameter);

    std::atomic<bool> autoDelete;
};
