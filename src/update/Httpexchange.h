// Httpexchange: the updater's exchange with the server for one updateFile call. It opens the
// connection and the GET request, sends it with the call's extra header, works through
// certificate problems (the dialog at most once, revocation checking switched off at most once,
// nothing of either under strict TLS, a look at the certificate presented over https) and follows
// redirects itself, so that none leads from https to plain http. The request stays open for the
// caller to judge the response and read the body; the exchange closes the request, then the
// connection, when it is closed or destroyed. Created by cWebupdater on the stack of one call;
// it borrows the updater's WinINet root handle and Logger. Its send and the certificate prompt
// are the updater's seams towards the platform: tests replace them in a subclass.
#pragma once

#include "Loguser.h"
#include "handles.h"
#include "result.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
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

    // receiveTimeoutMs bounds a single read of the response (a shorter platform time-out stays).
    Httpexchange(Logger* logger, HINTERNET root, bool strictTls, DWORD receiveTimeoutMs);
    ~Httpexchange() override;
    Httpexchange(const Httpexchange&) = delete;
    Httpexchange& operator=(const Httpexchange&) = delete;
    int32_t getClassKind() const override { return 0; }

    // Request and send at start, then every redirect (MAX_REDIRECTS at most); the answer after the
    // last hop is the caller's to judge. Fails with cWebupdater's UPDATE_CONNECT_FAILED,
    // UPDATE_REQUEST_FAILED or UPDATE_SEND_FAILED and the system error met.
    portable::Result run(const Location& start, const Request& request);
    // The open request (null before run or after close).
    HINTERNET request() const { return requestHandle.get(); }
    // The request first, then the connection.
    void close();
    const CertificatePromises& promises() const { return certificatePromises; }

    // A response header's text; empty when it is absent or cannot be read.
    static std::wstring queryInfo(HINTERNET request, DWORD infoLevel);
    // The status code of a status text as WinINet gives it; 0 when it holds no number.
    static long statusCode(const std::wstring& statusText);

protected:
    // The seams: the send itself and the certificate prompt (the platform's dialog).
    virtual BOOL sendRequest(HINTERNET request, const std::wstring& headers);
    virtual DWORD promptCertificateProblem(HINTERNET request, DWORD error);

private:
    portable::Result openRequest(const Location& at, const Request& request);
    void boundReceiveTimeout();
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

    HINTERNET root;
    bool strictTls;
    DWORD receiveTimeoutMs;
    CertificatePromises certificatePromises;
    handles::Internet connection;
    handles::Internet requestHandle;
};
