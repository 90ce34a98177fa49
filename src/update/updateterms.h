// updateterms: the words the updater and its parts share, so that a part needs no more of the
// updater than this header: the result codes of an update (the process exit code of a failed
// one), the function names its log lines carry, and its limits (the bytes per read, the band of
// refused body sizes, the largest body, the stall window, the overall floor, the redirects
// followed, the backup suffix). Constants only; cWebupdater hands them on under its own name
// (cWebupdater::UPDATE_DONE), which is how its callers spell them.
#pragma once

#include <windows.h>

#include <cstdint>

namespace updateterms {

// Results of an update (cWebupdater::updateFile).
inline constexpr int32_t UPDATE_DONE = 2;
inline constexpr int32_t UPDATE_NO_INTERNET = 5;
inline constexpr int32_t UPDATE_BAD_PORT = 6;
inline constexpr int32_t UPDATE_CONNECT_FAILED = 7;
inline constexpr int32_t UPDATE_REQUEST_FAILED = 8;
inline constexpr int32_t UPDATE_SEND_FAILED = 9;
inline constexpr int32_t UPDATE_NO_RESPONSE = 10;
inline constexpr int32_t UPDATE_WRONG_TYPE = 11;
inline constexpr int32_t UPDATE_NOT_NEWER = 12;
inline constexpr int32_t UPDATE_DOWNLOAD_FAILED = 13;
inline constexpr int32_t UPDATE_SWITCH_FAILED = 14;
inline constexpr int32_t UPDATE_NO_COOKIE = 15;
inline constexpr int32_t UPDATE_NOT_FOUND = 16;
inline constexpr int32_t UPDATE_BAD_STATUS = 17;
// A body of a size no build of the program can have was discarded; the target is unchanged.
inline constexpr int32_t UPDATE_SIZE_REJECTED = 18;
// The body is no complete Windows program; the target is unchanged.
inline constexpr int32_t UPDATE_NOT_A_PROGRAM = 19;
// A publisher pin is set and the downloaded program does not carry a valid signature of a
// pinned signer, or its deployment block would widen the pin (or the installer refuses every
// update, its own signature failing); the target is unchanged.
inline constexpr int32_t UPDATE_SIGNATURE_REJECTED = 20;
// The body is byte for byte the target itself: nothing to switch, nothing to restart.
inline constexpr int32_t UPDATE_ALREADY_CURRENT = 21;
// The proxy the request goes through asks for credentials, and none were given (the dialog
// cancelled, or an unattended run) or it refused the ones given; the target is unchanged.
inline constexpr int32_t UPDATE_PROXY_AUTH_FAILED = 22;
// A publisher pin is set and the (validly signed) program's fixed file version is lower than
// the running installer's own: no rollback to an older build; the target is unchanged.
inline constexpr int32_t UPDATE_OLDER_BUILD = 23;
// A publisher pin is set and the (validly signed) program carries no version resource to
// compare; the target is unchanged.
inline constexpr int32_t UPDATE_NO_VERSION = 24;

// The function names of the updater's log lines, whichever part writes them.
inline constexpr const wchar_t* FN_UPDATE = L"cWebupdater::updateFile";
inline constexpr const wchar_t* FN_DOWNLOAD = L"cWebupdater::downloadFile";
inline constexpr const wchar_t* FN_SWITCH = L"cWebupdater::switchFiles";
inline constexpr const wchar_t* FN_CONNECTED = L"cWebupdater::isInternetConnected";

// Bytes per InternetReadFile call at most while streaming the body (fewer when fewer are
// available), and per write to the private file.
inline constexpr DWORD READ_BLOCK = 65536;
// Bodies from SIZE_REJECT_MIN to SIZE_REJECT_MAX bytes (both included) are discarded.
inline constexpr uint64_t SIZE_REJECT_MIN = 2000;
inline constexpr uint64_t SIZE_REJECT_MAX = 120000;
// Default largest body accepted, so that a faulty server cannot fill the disk.
inline constexpr uint64_t MAX_DOWNLOAD_SIZE = 1073741824ULL;
// The previous version of the target stays under its name with this suffix.
inline constexpr const wchar_t* BACKUP_SUFFIX = L".backupFromWebupdate";
// A transfer that brings fewer than STALL_MIN_BYTES within one window of STALL_BOUND_MS has
// stalled, from the send of the request to the last body byte (headers and chunk framing
// included).
inline constexpr DWORD STALL_BOUND_MS = 60000;
inline constexpr uint64_t STALL_MIN_BYTES = 65536;
// The whole transfer, from the send, may take its announced size at FLOOR_RATE bytes per
// second, but never less than FLOOR_LEAST_MS (a body without announced length: the size cap).
inline constexpr uint64_t FLOOR_RATE = 16384;
inline constexpr ULONGLONG FLOOR_LEAST_MS = 600000;
// Redirects followed per call at most; the answer after the last one is judged as it stands.
inline constexpr int MAX_REDIRECTS = 10;

} // namespace updateterms
