// cWebupdater: the installer's HTTP(S) client for one job. It asks the communication server over
// WinINet (system proxy configuration, system cookie store) for the current build of a local
// file, judges the answer, streams the body into the user's temporary folder and swaps it in
// place of the local file, keeping the previous version under a backup name. The application
// object creates one updater at start-up, calls updateFile once and deletes it at shutdown; the
// updater owns only its WinINet root handle, and every call opens and closes its own connection
// and request. The Logger is borrowed from the application object.
#pragma once

#include "Loguser.h"
#include "handles.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <string>

class cWebupdater : public Loguser {
public:
    // Top-level media types; the installer passes the first.
    static const wchar_t* const MEDIA_TYPE_APPLICATION;
    static const wchar_t* const MEDIA_TYPE_AUDIO;
    static const wchar_t* const MEDIA_TYPE_IMAGE;
    static const wchar_t* const MEDIA_TYPE_MODEL;
    static const wchar_t* const MEDIA_TYPE_MULTIPART;
    static const wchar_t* const MEDIA_TYPE_TEXT;
    static const wchar_t* const MEDIA_TYPE_VIDEO;

    // Results of updateFile.
    static constexpr int32_t UPDATE_DONE = 2;
    static constexpr int32_t UPDATE_NO_INTERNET = 5;
    static constexpr int32_t UPDATE_BAD_PORT = 6;
    static constexpr int32_t UPDATE_CONNECT_FAILED = 7;
    static constexpr int32_t UPDATE_REQUEST_FAILED = 8;
    static constexpr int32_t UPDATE_SEND_FAILED = 9;
    static constexpr int32_t UPDATE_NO_RESPONSE = 10;
    static constexpr int32_t UPDATE_WRONG_TYPE = 11;
    static constexpr int32_t UPDATE_NOT_NEWER = 12;
    static constexpr int32_t UPDATE_DOWNLOAD_FAILED = 13;
    static constexpr int32_t UPDATE_SWITCH_FAILED = 14;
    static constexpr int32_t UPDATE_NO_COOKIE = 15;
    static constexpr int32_t UPDATE_NOT_FOUND = 16;
    static constexpr int32_t UPDATE_BAD_STATUS = 17;
    // A body of a size no build of the program can have was discarded; the target is unchanged.
    static constexpr int32_t UPDATE_SIZE_REJECTED = 18;
    // A publisher pin is set and the downloaded program does not carry a valid signature of a
    // pinned signer; the target is unchanged.
    static constexpr int32_t UPDATE_SIGNATURE_REJECTED = 20;

    // Bytes per InternetReadFile call while streaming the body.
    static constexpr DWORD READ_BLOCK = 4096;
    // Bodies from SIZE_REJECT_MIN to SIZE_REJECT_MAX bytes (both included) are discarded.
    static constexpr uint64_t SIZE_REJECT_MIN = 2000;
    static constexpr uint64_t SIZE_REJECT_MAX = 120000;
    // Default largest body accepted, so that a faulty server cannot fill the disk.
    static constexpr uint64_t MAX_DOWNLOAD_SIZE = 1073741824ULL;
    static const wchar_t* const BACKUP_SUFFIX;

    // Called after every block written: bytes received so far and the announced Content-Length
    // (0 when the response announces none).
    using ProgressCallback = std::function<void(uint64_t received, uint64_t expected)>;

    cWebupdater(Logger* logger, std::wstring agent);
    ~cWebupdater() override;
    cWebupdater(const cWebupdater&) = delete;
    cWebupdater& operator=(const cWebupdater&) = delete;
    int32_t getClassKind() const override { return 0; }

    bool isInternetConnected();

    int32_t updateFile(std::wstring username, std::wstring password, std::wstring protocol, std::wstring host,
                       std::wstring port, std::wstring object, std::wstring mediaType, std::wstring targetFile,
                       int32_t cookieRequired, int32_t onlyIfNewer, std::wstring cookieName);

    // No callback (the default) costs nothing per block.
    void setProgressCallback(ProgressCallback callback) { progress = std::move(callback); }
    void setMaxDownloadSize(uint64_t bytes) { maxDownloadSize = bytes; }
    // Only programs signed by a key whose SHA-256 public-key hash is in pinText (hashes separated
    // by ",") are put in place; a malformed pin accepts nothing. Without a pin (the default, or
    // after clearSignerPin) the signature is not looked at.
    void setSignerPin(std::wstring pinText)
    {
        signerPin = std::move(pinText);
        pinned = true;
    }
    void clearSignerPin()
    {
        signerPin.clear();
        pinned = false;
    }

    // Request flags for a protocol: secured for "https" in any letter case.
    static DWORD requestFlags(const std::wstring& protocol);
    // The port text as a decimal number (leading blanks and a sign allowed), low 16 bits.
    static uint16_t parsePort(const std::wstring& port);

protected:
    std::wstring formatHttpDate(int64_t secondsSince1970);
    std::wstring queryInfo(HINTERNET request, DWORD infoLevel);
    bool downloadFile(HINTERNET request, std::wstring tempFile);
    bool switchFiles(std::wstring target, std::wstring tempFile, std::wstring folder, std::wstring filename);

    // Seams of the send step: the send itself and the certificate prompt (the platform's dialog).
    virtual BOOL sendRequest(HINTERNET request, const std::wstring& headers);
    virtual DWORD promptCertificateProblem(HINTERNET request, DWORD error);

    // The root handle; null when InternetOpenW failed.
    handles::Internet internetHandle;

private:
    // Sends the request and works through certificate problems; false with *lastError set on failure.
    bool sendWithCertificateHandling(HINTERNET request, const std::wstring& headers, DWORD* lastError);
    // The pinned-publisher check of a downloaded file; logs the one line that says why it failed.
    bool signatureAccepted(const std::wstring& file);

    std::wstring agent;
    ProgressCallback progress;
    uint64_t maxDownloadSize = MAX_DOWNLOAD_SIZE;
    std::wstring signerPin;
    bool pinned = false;
};
