// cWebupdater: the installer's HTTP(S) client for one job. It asks the communication server over
// WinINet (system proxy configuration, system cookie store) for the current build of a local
// file, judges the answer, streams the body into a private temporary file, makes sure that the
// body is a complete program other than the local file, and swaps it in place of the local file
// by renames on one volume, keeping the previous version under a backup name. The application
// object creates one updater at start-up, calls updateFile once and deletes it at shutdown; the
// updater owns only its WinINet root handle, and every call opens and closes its own connection,
// request and temporary file. The Logger is borrowed from the application object. updateFile
// checks the connection, the port and the cookie, then runs its parts in order: Httpexchange (the
// request, the certificate procedure, a proxy's demand for credentials, redirects), Busyserver (a
// bounded wait and a new request while the server says it is busy), the judgement of the response,
// Bodyreceiver (the body into the private file), Downloadchecks and Fileswitch; Partialdownload keeps
// a cut body for the next call and asks for its rest. The parts know nothing of this class: what
// they share with it (result codes, log function names, limits) stands in updateterms.h, which
// this class hands on under its own name.
#pragma once

#include "Bodydigest.h"
#include "Downloadchecks.h"
#include "Downloadfile.h"
#include "Fileobject.h"
#include "Loguser.h"
#include "Transferwatch.h"
#include "handles.h"
#include "result.h"
#include "updateterms.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Busyserver;
class Partialdownload;

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

    // The updater's terms (updateterms.h) under its own name: results of updateFile, the function
    // names of its log lines, its limits.
    static constexpr int32_t UPDATE_DONE = updateterms::UPDATE_DONE;
    static constexpr int32_t UPDATE_NO_INTERNET = updateterms::UPDATE_NO_INTERNET;
    static constexpr int32_t UPDATE_BAD_PORT = updateterms::UPDATE_BAD_PORT;
    static constexpr int32_t UPDATE_CONNECT_FAILED = updateterms::UPDATE_CONNECT_FAILED;
    static constexpr int32_t UPDATE_REQUEST_FAILED = updateterms::UPDATE_REQUEST_FAILED;
    static constexpr int32_t UPDATE_SEND_FAILED = updateterms::UPDATE_SEND_FAILED;
    static constexpr int32_t UPDATE_NO_RESPONSE = updateterms::UPDATE_NO_RESPONSE;
    static constexpr int32_t UPDATE_WRONG_TYPE = updateterms::UPDATE_WRONG_TYPE;
    static constexpr int32_t UPDATE_NOT_NEWER = updateterms::UPDATE_NOT_NEWER;
    static constexpr int32_t UPDATE_DOWNLOAD_FAILED = updateterms::UPDATE_DOWNLOAD_FAILED;
    static constexpr int32_t UPDATE_SWITCH_FAILED = updateterms::UPDATE_SWITCH_FAILED;
    static constexpr int32_t UPDATE_NO_COOKIE = updateterms::UPDATE_NO_COOKIE;
    static constexpr int32_t UPDATE_NOT_FOUND = updateterms::UPDATE_NOT_FOUND;
    static constexpr int32_t UPDATE_BAD_STATUS = updateterms::UPDATE_BAD_STATUS;
    static constexpr int32_t UPDATE_SIZE_REJECTED = updateterms::UPDATE_SIZE_REJECTED;
    static constexpr int32_t UPDATE_SIGNATURE_REJECTED = updateterms::UPDATE_SIGNATURE_REJECTED;
    static constexpr int32_t UPDATE_NOT_A_PROGRAM = updateterms::UPDATE_NOT_A_PROGRAM;
    static constexpr int32_t UPDATE_ALREADY_CURRENT = updateterms::UPDATE_ALREADY_CURRENT;
    static constexpr int32_t UPDATE_PROXY_AUTH_FAILED = updateterms::UPDATE_PROXY_AUTH_FAILED;
    static constexpr int32_t UPDATE_OLDER_BUILD = updateterms::UPDATE_OLDER_BUILD;
    static constexpr int32_t UPDATE_NO_VERSION = updateterms::UPDATE_NO_VERSION;
    static constexpr const wchar_t* FN_UPDATE = updateterms::FN_UPDATE;
    static constexpr const wchar_t* FN_DOWNLOAD = updateterms::FN_DOWNLOAD;
    static constexpr const wchar_t* FN_SWITCH = updateterms::FN_SWITCH;
    static constexpr const wchar_t* FN_CONNECTED = updateterms::FN_CONNECTED;
    static constexpr DWORD READ_BLOCK = updateterms::READ_BLOCK;
    static constexpr uint64_t SIZE_REJECT_MIN = updateterms::SIZE_REJECT_MIN;
    static constexpr uint64_t SIZE_REJECT_MAX = updateterms::SIZE_REJECT_MAX;
    static constexpr uint64_t MAX_DOWNLOAD_SIZE = updateterms::MAX_DOWNLOAD_SIZE;
    static constexpr const wchar_t* BACKUP_SUFFIX = updateterms::BACKUP_SUFFIX;
    static constexpr DWORD STALL_BOUND_MS = updateterms::STALL_BOUND_MS;
    static constexpr uint64_t STALL_MIN_BYTES = updateterms::STALL_MIN_BYTES;
    static constexpr uint64_t FLOOR_RATE = updateterms::FLOOR_RATE;
    static constexpr ULONGLONG FLOOR_LEAST_MS = updateterms::FLOOR_LEAST_MS;
    static constexpr int MAX_REDIRECTS = updateterms::MAX_REDIRECTS;

    // Called after every batch written (up to Bodyreceiver's four blocks, or what a tenth of a
    // second brought): bytes received so far and the announced Content-Length (0 when the
    // response announces none).
    using ProgressCallback = std::function<void(uint64_t received, uint64_t expected)>;
    // Called with a line for the user while the updater waits for a busy server (a countdown,
    // then Busyserver::STATUS_IDLE when it asks again).
    using StatusCallback = std::function<void(const std::wstring& text)>;

    cWebupdater(Logger* logger, std::wstring agent);
    ~cWebupdater() override;
    cWebupdater(const cWebupdater&) = delete;
    cWebupdater& operator=(const cWebupdater&) = delete;
    int32_t getClassKind() const override { return 0; }

    bool isInternetConnected();

    // One of the UPDATE_ codes; leaves the system error code of the failure met (0 when none) as
    // the thread's last-error value.
    int32_t updateFile(std::wstring username, std::wstring password, std::wstring protocol, std::wstring host,
                       std::wstring port, std::wstring object, std::wstring mediaType, std::wstring targetFile,
                       int32_t cookieRequired, int32_t onlyIfNewer, std::wstring cookieName);

    // No callback (the default) costs nothing per batch.
    void setProgressCallback(ProgressCallback callback) { progress = std::move(callback); }
    void setStatusCallback(StatusCallback callback) { status = std::move(callback); }
    void setMaxDownloadSize(uint64_t bytes) { maxDownloadSize = bytes; }
    // Only programs signed by a key whose SHA-256 public-key hash is in pinText (hashes separated
    // by ",") are put in place, and a program that carries a deployment block must keep that pin;
    // a malformed pin accepts nothing. Without a pin (the default, or after clearSignerPin) the
    // signature is not looked at. The second form takes the keys themselves (an empty list
    // accepts nothing).
    void setSignerPin(const std::wstring& pinText);
    void setSignerPin(std::vector<portable::Sha256::Digest> keys);
    void clearSignerPin();
    // The running installer's own fixed file version: under a pin, a program with a lower version
    // or none is refused (unless the build allows downgrades: CV_ALLOW_DOWNGRADE). Not set, every
    // pinned download is refused. Without a pin the version is not looked at.
    void setInstalledVersion(const portable::FixedFileVersion::Parts& version);
    // The length of one stall window (STALL_BOUND_MS unless a test shortens it).
    void setStallBound(DWORD milliseconds) { stallBoundMs = milliseconds; }
    // The overall floor: FLOOR_RATE and FLOOR_LEAST_MS unless a test changes them (rate 0: none).
    void setFloorRate(uint64_t bytesPerSecond, ULONGLONG leastMs)
    {
        floorRate = bytesPerSecond;
        floorLeastMs = leastMs;
    }
    // Strict TLS: the request keeps WinINet's name and date checks, and every certificate problem
    // ends the call (no dialog, no revocation switch-off); a protocol other than https ends it
    // before anything is sent (UPDATE_SEND_FAILED). Off by default.
    void setStrictTls(bool strict) { strictTls = strict; }
    bool isStrictTls() const { return strictTls; }
    // Unattended: updateFile shows no dialog of any kind. A certificate problem that would need
    // the certificate dialog fails as under strict TLS (UPDATE_SEND_FAILED), and a proxy that asks
    // for credentials ends the call with UPDATE_PROXY_AUTH_FAILED. Off by default.
    void setUnattended(bool noDialogs) { unattended = noDialogs; }
    bool isUnattended() const { return unattended; }

    // The port text as a decimal number (leading blanks and a sign allowed), low 16 bits.
    static uint16_t parsePort(const std::wstring& port);

protected:
    // The arguments of one updateFile call.
    struct Job {
        std::wstring username;
        std::wstring password;
        std::wstring protocol;
        std::wstring host;
        std::wstring port;
        std::wstring object;
        std::wstring mediaType;
        std::wstring targetFile;
        int32_t cookieRequired = 0;
        int32_t onlyIfNewer = 0;
        std::wstring cookieName;
    };
    // What the response says about the server's copy.
    struct ServerCopy {
        long status = 0;
        bool newer = true;
        bool timeKnown = false;
        SYSTEMTIME time = {};
    };

    std::wstring formatHttpDate(int64_t secondsSince1970);
    std::wstring queryInfo(HINTERNET request, DWORD infoLevel);
    // Streams the body into a new private file in folder, named after stem; the file stays open.
    // False with the system error as the thread's last-error value.
    bool downloadFile(HINTERNET request, const std::wstring& folder, const std::wstring& stem, Downloadfile* file);
    bool switchFiles(std::wstring target, Downloadfile* download, std::wstring folder, std::wstring filename);
    std::wstring temporaryFolder();
    // The pause while a busy server is waited for, in slices of at most a second (Sleep): the
    // seam that keeps tests from sleeping.
    virtual void pauseFor(DWORD milliseconds);

    // The root handle; null when InternetOpenW failed.
    handles::Internet internetHandle;

private:
    // The steps of updateFile, in their order; each is done (code 0) to go on, or fails with the
    // result code of updateFile and the system error met.
    portable::Result runUpdate(const Job& job);
    portable::Result checkConnectionAndPort(const Job& job, uint16_t* portNumber);
    portable::Result checkCookie(const Job& job);
    portable::Result exchangeAndDownload(const Job& job, int64_t targetTime, uint16_t portNumber,
                                         const std::wstring& stem, ServerCopy* copy, Downloadfile* download);
    portable::Result exchangeOnce(const Job& job, int64_t targetTime, uint16_t portNumber, Partialdownload* partial,
                                  Busyserver* busy, ServerCopy* copy, Downloadfile* download, bool* again);
    void judgeResume(HINTERNET request, Partialdownload* partial, Downloadfile* download, bool* again);
    portable::Result receiveBody(const Job& job, HINTERNET request, Partialdownload* partial, Downloadfile* download);
    static std::wstring jobUrl(const Job& job);
    // resumed: the held bytes of a cut download were taken over, the answer must be 206.
    portable::Result judgeResponse(const Job& job, int64_t targetTime, HINTERNET request, bool resumed,
                                   ServerCopy* copy);
    portable::Result checkDownload(Downloadfile* download, const std::wstring& targetFile);
    portable::Result switchIntoPlace(Fileobject* target, Downloadfile* download, const ServerCopy& copy);
    void readServerTime(HINTERNET request, int64_t targetTime, ServerCopy* copy);

    std::wstring agent;
    ProgressCallback progress;
    StatusCallback status;
    uint64_t maxDownloadSize = MAX_DOWNLOAD_SIZE;
    Downloadchecks::Pin signerPin;
    Downloadchecks::VersionFloor versionFloor;
    // With a pin: the image digest of the body, computed from each batch as it is written.
    std::unique_ptr<Bodydigest> bodyDigest;
    DWORD stallBoundMs = STALL_BOUND_MS;
    uint64_t floorRate = FLOOR_RATE;
    ULONGLONG floorLeastMs = FLOOR_LEAST_MS;
    // The deadlines of the exchange under way (null outside exchangeAndDownload).
    Transferwatch* activeWatch = nullptr;
    // Bytes of a resumed transfer already in the download file when its body starts.
    uint64_t heldBytes = 0;
    bool strictTls = false;
    bool unattended = false;
};
