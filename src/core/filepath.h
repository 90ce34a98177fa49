// filepath: the installer's spelling of paths ("/" between the parts, as normalizePath makes it)
// and the few questions about a path that need no file object: whether something stands there,
// its folder, the running executable's own path. Free functions for every layer; Fileobject and
// the process-wide locks (Processsaferesourceuser) build on them.
#pragma once

#include <string>

// Every "\\" as "/": the installer's own spelling of paths.
std::wstring withForwardSlashes(std::wstring path);
// Every "/" as "\\": the spelling the platform's volume and rename calls want.
std::wstring withBackslashes(std::wstring path);
// Backslashes to "/", runs of slashes collapsed (not in network paths), trailing slashes dropped.
std::wstring normalizePath(std::wstring path);
// Whether anything (file or folder) stands at the path.
bool pathExists(const std::wstring& path);
// Whether a folder stands at the path.
bool folderExists(const std::wstring& path);
// The part of a "/"-separated path before its last "/" (empty without one).
std::wstring folderOf(const std::wstring& fullPath);
// The running executable's full path, normalised (at most 260 characters are read).
std::wstring modulePath();
