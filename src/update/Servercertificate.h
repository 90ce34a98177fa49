// Servercertificate: the certificate a server presented on an https request, as WinINet reports
// it: subject, issuer and validity for the log, and the names it carries for the updater's own
// check of host name and date (WinINet lets a name or date problem pass silently when the request
// asks it to). Where WinINet hands out the server's chain (after a successful send) everything is
// read from the certificate itself; otherwise from WinINet's certificate structure, where the last
// part of the subject text stands for the common name. Created by the updater for one request and
// dropped after it; it keeps nothing of WinINet's open.
#pragma once

#include "certname.h"

#include <windows.h>
#include <wininet.h>

#include <string>

class Servercertificate {
public:
    // Reads the certificate of the request's secured connection. False with *error when WinINet
    // has none (no secured connection was made).
    bool read(HINTERNET request, DWORD* error);

    // subject "...", issuer "...", valid from ... UTC to ... UTC
    std::wstring describe() const;
    bool coversHost(const std::wstring& host) const;
    bool validAt(const FILETIME& now) const;
    // What does not fit the host or the time, in words ("name not covered", "expired on DATE",
    // "not valid before DATE"), joined by "; "; empty when everything fits.
    std::wstring mismatch(const std::wstring& host, const FILETIME& now) const;
    // Whether the names were read from the certificate itself (rather than the subject text).
    bool namesFromCertificate() const { return fromCertificate; }

private:
    bool readFromChain(HINTERNET request);
    bool readFromStructure(HINTERNET request, DWORD* error);

    std::wstring subject;
    std::wstring issuer;
    FILETIME notBefore = {};
    FILETIME notAfter = {};
    portable::CertificateNames names;
    bool fromCertificate = false;
};
