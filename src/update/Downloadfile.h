// Downloadfile: one private file that a download is written to before it is put in place. It is
// created new under a name nobody can predict, and its handle, kept open from creation to the end,
// denies every other writer and every rename or delete: what the updater checks is what it wrote.
// It is renamed into place through that handle, never by path, and deleted through it when it is
// not wanted. Owned by the updater for one updateFile call.
#pragma once

#include "handles.h"

#include <windows.h>

#include <cstdint>
#include <string>

class Downloadfile {
public:
    Downloadfile() = default;
    Downloadfile(const Downloadfile&) = delete;
    Downloadfile& operator=(const Downloadfile&) = delete;
    Downloadfile(Downloadfile&&) noexcept = default;
    // A file still open here is deleted before the other takes its place.
    Downloadfile& operator=(Downloadfile&& other) noexcept;
    // A file still open is deleted.
    ~Downloadfile();

    // Creates "<folder>/<stem>.<16 random hex digits>.tmp", never opening an existing file or link;
    // writeThrough passes every write straight to the disk. False with *error on failure; path()
    // then names the file last attempted.
    bool create(const std::wstring& folder, const std::wstring& stem, bool writeThrough, DWORD* error);
    // Opens a file this class left behind (a kept partial download) with the same access and
    // sharing as create; refuses links, folders and files with more than one name.
    bool openExisting(const std::wstring& fullPath, DWORD* error);
    // Cuts the file at size and puts the write position there (writes append from that size on).
    bool truncateTo(uint64_t size, DWORD* error);
    bool write(const void* data, DWORD size, DWORD* error);
    bool flush(DWORD* error);
    // Reads up to size bytes at offset; *got is 0 at the end of the file.
    bool readAt(uint64_t offset, void* data, DWORD size, DWORD* got);
    // Reads from offset until size bytes, the end of the file or a failure; the count read.
    size_t readFully(uint64_t offset, uint8_t* data, size_t size);
    uint64_t size() const;
    // Gives the file a new full path (which must not exist), through its handle; the file stays open.
    bool renameTo(const std::wstring& fullPath, DWORD* error);
    // Renames the file, through its handle, to a new "<folder>/<stem>.<16 random hex digits>.tmp"
    // on the same volume.
    bool moveInto(const std::wstring& folder, const std::wstring& stem, DWORD* error);
    // Deletes the file through its handle and closes it.
    void discard();
    // Closes the file where it stands; false with *error when the close failed.
    bool close(DWORD* error);

    bool isOpen() const { return file.valid(); }
    // The open file (read and write access, shared with readers only) for checks that take a handle.
    HANDLE handle() const { return file.get(); }
    const std::wstring& path() const { return fullPath; }

private:
    handles::Kernel file;
    std::wstring fullPath;
    bool writesThrough = false; // as created
};
