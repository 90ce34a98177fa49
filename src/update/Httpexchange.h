// Httpexchange: the updater's exchange with the server for one updateFile call. It opens the
// connection and the GET request, sends it with the call's extra header, works through
// certificate problems (the dialog at most once, revocation checking switched off at most once,
// nothing of either under strict TLS, a look at the certificate presented over https), answers a
// proxy's demand for credentials (the platform's dialog at most once per call, none in an
// unattended run) and follows redirects itself, so that none leads from https to plain http. The request stays open for
// the caller to judge the response and read the body; the exchange closes the request, then the connection, when it is
// closed or destroyed. Created by cWebupdater on the stack of one call; it borrows the updater's WinINet root handle
// and Logger. Its send and the certificate prompt and the prompts are the updater's seams towards the platform: tests
// replace them in a subclass. Its Transferwatch bounds the exchange from the first send to the last body byte: when a
// deadline passes, the watch's thread closes the request, which ends a blocked send or read (the request owner is
// guarded by a lock for that, and what the watch closed is not closed again).
#pragma once

#include "Loguser.h"
#include "Transferwatch.h"
#include "handles.h"
#include "result.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <mutex>
#include <string>

class Httpexchange : public Loguser {
public:
    // Where a request goes: protocol, host, port, object.
    struct Location {
        std::wstring protocol;
        std::wstring host;
        uint16_t port = 0;
        std::wstring object;
    };
    // What every hop sends: the credentials of the connection, the accepted media type ("type/*")
    // and the extra header text (empty for none).
    struct Request {
        std::wstring username;
        std::wstring password;
        std::wstring mediaType;
        std::wstring headers;
    };
    // What the call has used of its certificate procedure, whatever the number of hops: the
    // dialog is shown at most once and revocation checking is switched off at most once. What the
    // user accepted in the dialog holds for the rest of the call at the server it was shown for,
    // so that a redirect back to that server does not depend on WinINet keeping the connection.
    struct CertificatePromises {
        bool dialogShown = false;
        bool revocationSwitchedOff = false;
        DWORD acceptedFlags = 0;
        std::wstring acceptedHost;
        uint16_t acceptedPort = 0;
    };

    // stallBoundMs is the watch's window (STALL_MIN_BYTES in it); a single read of the response is
    // bounded by twice that (a shorter platform time-out stays), so that the watch judges a silence.
    Httpexchange(Logger* logger, HINTERNET root, bool strictTls, DWORD stallBoundMs);
    ~Httpexchange() override;
    Httpexchange(const Httpexchange&) = delete;
    Httpexchange& operator=(const Httpexchange&) = delete;
    int32_t getClassKind() const override { return 0; }

    // Request and send at start, then every redirect (MAX_REDIRECTS at most); the answer after the
    // last hop is the caller's to judge. Fails with UPDATE_CONNECT_FAILED (updateterms),
    // UPDATE_REQUEST_FAILED or UPDATE_SEND_FAILED and the system error met, or with
    // UPDATE_DOWNLOAD_FAILED and ERROR_TIMEOUT when the watch ended the exchange.
    portable::Result run(const Location& start, const Request& request);
    // The open request (null before run, after close, or once the watch has closed it).
    HINTERNET request() const;
    // The watch stops, then the request is closed, then the connection.
    void close();
    // The deadlines of this exchange; started by run. The overall floor (rate and least time) may
    // be changed before run.
    Transferwatch& watch() { return transferwatch; }
    void setFloor(uint64_t bytesPerSecond, ULONGLONG leastMs);
    const CertificatePromises& promises() const { return certificatePromises; }
    // Unattended: no dialog of any kind. A certificate problem that would need the dialog fails
    // as under strict TLS; a proxy that asks for credentials ends the call. Off by default.
    void setUnattended(bool noDialogs) { unattended = noDialogs; }

    // The flags of every request for a protocol: no cache, no automatic redirect across schemes,
    // name and date problems of the certificate let through (the exchange looks at them itself),
    // no platform UI; secured for "https" in any letter case.
    static DWORD requestFlags(const std::wstring& protocol);
    // A response header's text; empty when it is absent or cannot be read.
    static std::wstring queryInfo(HINTERNET request, DWORD infoLevel);
    // The status code of a status text as WinINet gives it; 0 when it holds no number.
    static long statusCode(const std::wstring& statusText);

protected:
    // The seams: the send itself, the certificate prompt and the proxy credential prompt (the
    // platform's dialogs; ERROR_INTERNET_FORCE_RETRY when the request is to be sent again).
    virtual BOOL sendRequest(HINTERNET request, const std::wstring& headers);
    virtual DWORD promptCertificateProblem(HINTERNET request, DWORD error);
    virtual DWORD promptProxyCredentials(HINTERNET request);

private:
    portable::Result openRequest(const Location& at, const Request& request);
    // The request and the connection, for the next hop; the watch goes on.
    void closeHandles();
    // The send through the watch (see Transferwatch::perform).
    BOOL watchedSend(const std::wstring& headers);
    // On the watch's thread: the request is closed under the lock.
    void expire();
    void boundReceiveTimeout(HINTERNET opened);
    portable::Result sendConditionally(const Location& at, const std::wstring& headers);
    void applyAcceptedCertificate(const Location& at);
    portable::Result followRedirect(Location* at, bool* redirected);
    // Sends the request and works through certificate problems; the error code on failure.
    portable::Result sendWithCertificateHandling(const std::wstring& headers, const Location& at);
    // The dialog for an unknown authority and the resend after it; true when that resend went
    // through. *declined when the user said no; *error the code of a resend that failed.
    bool askInDialog(const std::wstring& headers, const Location& at, DWORD* error, bool* declined);
    portable::Result resendWithoutRevocationCheck(const std::wstring& headers, DWORD error);
    // One line with the presented certificate's subject, issuer and validity.
    void logCertificate();
    // After a successful send over https: one line when the certificate does not cover the host
    // or is outside its validity; a failure when strict TLS refuses it.
    portable::Result checkPresentedCertificate(const std::wstring& host);
    // After a send: a 407 from the proxy the request goes through is answered with the dialog
    // (once per call) and a resend, or ends the call with UPDATE_PROXY_AUTH_FAILED. A 407 of a
    // request that goes direct is the server's own answer and is judged as any other.
    portable::Result answerProxyChallenge(const Location& at, const std::wstring& headers);
    portable::Result proxyAuthFailed(const std::wstring& proxy, const std::wstring& schemes, const wchar_t* why,
                                     DWORD error);

    HINTERNET root;
    bool strictTls;
    DWORD receiveTimeoutMs;
    Transferwatch transferwatch;
    mutable std::mutex requestLock;
    bool unattended = false;
    CertificatePromises certificatePromises;
    // The proxy credential dialog is shown at most once per call, whatever the number of hops.
    bool proxyDialogShown = false;
    handles::Internet connection;
    handles::Internet requestHandle;
};
