// The loopback update server of the updater's unit tests (tests/e2e/updateserver.py) and the
// test environment that starts it once per test program.
//
// A Windows program cannot wait for a Linux process, so the environment starts the server
// detached (Wine runs a non-PE image as a Unix process) with a control folder under /tmp: the
// tests write config.json there before each exchange and read the requests back from
// requests.log. The server ends when the environment writes the stop file, and by itself after
// two idle minutes, so it never outlives a killed test run for long. With TLS it also serves
// https listeners (a self-signed certificate, and certificates of a throwaway authority that is
// trusted in the prefix while the server runs) and fresh sets of them for tests that must meet a
// server WinINet has not seen before.
#pragma once

#include "testsupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

std::wstring unixToWine(const std::string& unixPath);

// One request as the server recorded it.
struct Request {
    int port = 0;
    bool tls = false;
    std::string line;
    std::vector<std::pair<std::string, std::string>> headers;

    const std::string* header(const std::string& name) const
    {
        for (const auto& h : headers) {
            if (_stricmp(h.first.c_str(), name.c_str()) == 0) {
                return &h.second;
            }
        }
        return nullptr;
    }
};

class ServerProcess {
public:
    // port4464: also listen on port 4464 (70000 modulo 65536); only the one test program that needs
    // it asks, so that test programs running side by side do not take it from each other.
    bool start(bool tls, bool port4464, std::string* why)
    {
        std::string source = __FILE__; // .../tests/support/loopbackserver.cpp
        if (source[0] != '/') {
            // A compiler cache names the source relative to the build folder.
            source = std::string(CV_BINARY_DIR) + "/" + source;
        }
        std::string root = source;
        for (int i = 0; i < 2; ++i) {
            root = root.substr(0, root.find_last_of("/\\"));
        }
        const std::string script = root + "/e2e/updateserver.py";
        if (!testsupport::fileExists(unixToWine(script))) {
            *why = "server script not found: " + script;
            return false;
        }
        std::string python;
        char fromEnv[512] = {};
        if (::GetEnvironmentVariableA("CV_PYTHON3", fromEnv, sizeof(fromEnv)) > 0) {
            python = fromEnv;
        } else {
            for (const char* cand : {"/usr/bin/python3", "/usr/local/bin/python3", "/bin/python3"}) {
                if (testsupport::fileExists(unixToWine(cand))) {
                    python = cand;
                    break;
                }
            }
        }
        if (python.empty()) {
            *why = "no python3 found";
            return false;
        }
        char name[96];
        std::snprintf(name, sizeof(name), "/tmp/cvweb-%lu-%llu", static_cast<unsigned long>(::GetCurrentProcessId()),
                      static_cast<unsigned long long>(::GetTickCount64()));
        controlUnix = name;
        control = unixToWine(controlUnix);
        if (!::CreateDirectoryW(control.c_str(), nullptr)) {
            *why = "cannot create " + controlUnix;
            return false;
        }
        std::wstring cmd = L"python3 " + widen(script) + L" --control-dir " + widen(controlUnix) + L" --portfile " +
                           widen(controlUnix) + L"/ports.json --proxy --idle-timeout 120 --lifetime 1800 --detach";
        if (port4464) {
            cmd += L" --extra-port 4464";
        }
        if (tls) {
            cmd += L" --https --tls-ca --tls-sets " + std::to_wstring(TLS_SETS);
        }
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        std::vector<wchar_t> line(cmd.begin(), cmd.end());
        line.push_back(L'\0');
        if (!::CreateProcessW(unixToWine(python).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &si, &pi)) {
            *why = "cannot start " + python;
            return false;
        }
        // A Unix process comes without Windows handles.
        closeHandle(pi.hThread);
        closeHandle(pi.hProcess);

        std::string ports;
        if (!testsupport::waitFor(
                [&] {
                    ports = readBytes(control + L"/ports.json");
                    return !ports.empty();
                },
                60000)) {
            *why = "server did not report its ports: " + readBytes(control + L"/server.log");
            return false;
        }
        http = portOf(ports, "\"http\":");
        https = portOf(ports, "\"https\":");
        extra = portOf(ports, "\"extra\":");
        proxy = portOf(ports, "\"proxy\":");
        tlsName = portOf(ports, "\"tls_name\":");
        tlsExpired = portOf(ports, "\"tls_expired\":");
        tlsValid = portOf(ports, "\"tls_valid\":");
        tlsOther = portOf(ports, "\"tls_other\":");
        if (!tls) {
            return http != 0;
        }
        readTlsSets(ports);
        return http != 0 && https != 0 && tlsName != 0 && tlsExpired != 0 && tlsValid != 0 && tlsOther != 0 &&
               tlsSets.size() == TLS_SETS && trustAuthority(why);
    }

    // The server's throwaway authority in the current user's root store of this prefix, for as long
    // as the server runs (its key is gone already: it signs nothing else).
    bool trustAuthority(std::string* why)
    {
        authority = readBytes(control + L"/authority/ca.der");
        if (authority.empty() ||
            !::CertAddEncodedCertificateToSystemStoreW(L"Root", reinterpret_cast<const BYTE*>(authority.data()),
                                                       static_cast<DWORD>(authority.size()))) {
            *why = "the test authority could not be trusted";
            return false;
        }
        return true;
    }

    void distrustAuthority()
    {
        if (authority.empty()) {
            return;
        }
        HCERTSTORE root = ::CertOpenSystemStoreW(0, L"Root");
        PCCERT_CONTEXT ca = ::CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(authority.data()), static_cast<DWORD>(authority.size()));
        if (root != nullptr && ca != nullptr) {
            PCCERT_CONTEXT found =
                ::CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, ca, nullptr);
            if (found != nullptr) {
                ::CertDeleteCertificateFromStore(found); // frees found
            }
        }
        if (ca != nullptr) {
            ::CertFreeCertificateContext(ca);
        }
        if (root != nullptr) {
            ::CertCloseStore(root, 0);
        }
        authority.clear();
    }

    void stop()
    {
        distrustAuthority();
        if (control.empty()) {
            return;
        }
        writeBytes(control + L"/stop", "1");
        testsupport::waitFor([&] { return testsupport::fileExists(control + L"/stopped"); }, 10000);
        testsupport::removeTree(control);
        control.clear();
    }

    // Sets the answer to the next requests (a JSON object), replacing the file in one step.
    void configure(const std::string& json)
    {
        const std::wstring tmp = control + L"/config.json.tmp";
        ASSERT_TRUE(writeBytes(tmp, json));
        ASSERT_TRUE(::MoveFileExW(tmp.c_str(), (control + L"/config.json").c_str(), MOVEFILE_REPLACE_EXISTING));
    }

    size_t mark() const { return readBytes(control + L"/requests.log").size(); }

    std::vector<Request> requestsSince(size_t from) const
    {
        const std::string all = readBytes(control + L"/requests.log");
        std::vector<Request> out;
        size_t pos = from;
        Request cur;
        while (pos < all.size()) {
            size_t end = all.find('\n', pos);
            if (end == std::string::npos) {
                end = all.size();
            }
            const std::string l = all.substr(pos, end - pos);
            pos = end + 1;
            if (l.rfind("REQUEST ", 0) == 0) {
                cur = Request();
                int tls = 0;
                std::sscanf(l.c_str() + 8, "%d %d", &cur.port, &tls);
                cur.tls = tls != 0;
            } else if (l.rfind("LINE ", 0) == 0) {
                cur.line = l.substr(5);
            } else if (l.rfind("H ", 0) == 0) {
                const size_t colon = l.find(": ", 2);
                cur.headers.emplace_back(l.substr(2, colon - 2), colon == std::string::npos ? "" : l.substr(colon + 2));
            } else if (l == "END") {
                out.push_back(cur);
            }
        }
        return out;
    }

    std::wstring control;
    std::string controlUnix;
    int http = 0;
    int https = 0;
    int extra = 0;
    // The forward proxy in front of the http listener (what it asks for: the answer's "proxy").
    int proxy = 0;
    // https listeners with certificates of the throwaway authority (for wrong.example, expired, valid
    // for localhost) and with a self-signed certificate for localhost.
    int tlsName = 0;
    int tlsExpired = 0;
    int tlsValid = 0;
    int tlsOther = 0;
    std::string authority;

    // Listeners of the same certificates on ports no earlier test has used: WinINet remembers per
    // server what it accepted and keeps verified connections, for the rest of the process.
    struct TlsSet {
        int https = 0;
        int name = 0;
        int expired = 0;
        int valid = 0;
        int other = 0;
    };
    static constexpr size_t TLS_SETS = 48;
    // The next unused set (a test fails when they run out).
    TlsSet freshTlsSet()
    {
        if (nextTlsSet >= tlsSets.size()) {
            ADD_FAILURE() << "all " << tlsSets.size() << " sets of TLS listeners are used";
            return {};
        }
        return tlsSets[nextTlsSet++];
    }

private:
    void readTlsSets(const std::string& json)
    {
        size_t at = json.find("\"tls_sets\":");
        while (at != std::string::npos) {
            at = json.find('{', at);
            if (at == std::string::npos) {
                break;
            }
            const size_t end = json.find('}', at);
            const std::string one = json.substr(at, end - at + 1);
            tlsSets.push_back({portOf(one, "\"https\":"), portOf(one, "\"name\":"), portOf(one, "\"expired\":"),
                               portOf(one, "\"valid\":"), portOf(one, "\"other\":")});
            at = end;
        }
    }

    std::vector<TlsSet> tlsSets;
    size_t nextTlsSet = 0;

    static int portOf(const std::string& json, const char* key)
    {
        const size_t at = json.find(key);
        if (at == std::string::npos) {
            return 0;
        }
        return std::atoi(json.c_str() + at + std::strlen(key));
    }
};

// The server of this test program (null outside the environment).
ServerProcess* loopbackServer();

// Registers the environment that starts the server before the first test and stops it after the
// last; tls adds the https listeners (their certificates take a few seconds to make), port4464 the
// listener on port 4464.
void addServerEnvironment(bool tls, bool port4464 = false);

} // namespace testsupport
