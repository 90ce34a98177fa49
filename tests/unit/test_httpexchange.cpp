// Httpexchange against the real loopback server: certificate problems (the dialog at most once
// per call, revocation checking switched off at most once, strict TLS, the presented certificate),
// redirects and send failures. Every test meets TLS listeners of its own (a fresh set of the
// server's), because WinINet remembers per server what it accepted for the rest of the process.
#include "Httpexchange.h"

#include "Logger.h"
#include "cWebupdater.h"
#include "dialoganswerer.h"
#include "loopbackserver.h"
#include "updatertest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

using testsupport::countLevel;
using testsupport::narrow;
using testsupport::readBytes;
using testsupport::Request;
using testsupport::TempDir;
using testsupport::UPDATE_OBJECT;
using testsupport::widen;

namespace {

const std::wstring UPD = cWebupdater::FN_UPDATE;
const std::wstring& OBJECT = UPDATE_OBJECT;

const bool serverStarts = (testsupport::addServerEnvironment(true), true);

// What the tests observe of and change in the send step, across the calls of one test.
struct Seams {
    // Replaces the first send's outcome by a failure with this code (0: real send); with
    // sendBeforeFailing the real send is made first, so that a certificate is there to be seen.
    DWORD failFirstSendWith = 0;
    bool sendBeforeFailing = false;
    // Replaces the dialog (empty: the platform's dialog).
    std::function<DWORD(HINTERNET, DWORD)> prompt;
    int sends = 0;
    int prompts = 0;
    DWORD securityFlagsAtLastSend = 0;
};

class TestExchange : public Httpexchange {
public:
    TestExchange(Logger* logger, HINTERNET root, bool strict, Seams* observed)
        : Httpexchange(logger, root, strict, cWebupdater::STALL_BOUND_MS), seams(observed)
    {
    }

protected:
    BOOL sendRequest(HINTERNET request, const std::wstring& headers) override
    {
        ++seams->sends;
        DWORD flags = 0;
        DWORD size = sizeof(flags);
        if (::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) {
            seams->securityFlagsAtLastSend = flags;
        }
        if (seams->sends == 1 && seams->failFirstSendWith != 0) {
            if (seams->sendBeforeFailing) {
                Httpexchange::sendRequest(request, headers);
            }
            ::SetLastError(seams->failFirstSendWith);
            return FALSE;
        }
        return Httpexchange::sendRequest(request, headers);
    }
    DWORD promptCertificateProblem(HINTERNET request, DWORD error) override
    {
        ++seams->prompts;
        if (seams->prompt) {
            return seams->prompt(request, error);
        }
        return Httpexchange::promptCertificateProblem(request, error);
    }

private:
    Seams* seams;
};

class Exchange : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = testsupport::loopbackServer();
        ASSERT_NE(server, nullptr);
        ASSERT_NE(server->http, 0) << "no loopback server";
        tls = server->freshTlsSet();
        ASSERT_NE(tls.other, 0);
        logger = std::make_unique<Logger>(dir.path(), L"web.log", L"CV_setup.exe");
        root.reset(::InternetOpenW(testsupport::UPDATER_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        ASSERT_TRUE(root.valid());
    }

    // One exchange as updateFile makes it (the answer configured first); the result code of
    // updateFile so far (UPDATE_DONE when the exchange went through), the system error in lastError.
    int32_t send(const std::string& answer, int32_t = 0, const std::wstring& protocol = L"http",
                 const std::wstring& portText = L"")
    {
        server->configure(answer);
        mark = server->mark();
        exchange = std::make_unique<TestExchange>(logger.get(), root.get(), strictTls, &seams);
        exchange->setUnattended(unattended);
        Httpexchange::Location at;
        at.protocol = protocol;
        at.host = host;
        at.port = cWebupdater::parsePort(portText.empty() ? std::to_wstring(server->http) : portText);
        at.object = OBJECT;
        Httpexchange::Request request;
        request.mediaType = L"application";
        const portable::Result r = exchange->run(at, request);
        lastError = r.systemError;
        return r.ok() ? cWebupdater::UPDATE_DONE : r.code;
    }
    // The status of the answer the exchange ended with.
    std::wstring status() const { return Httpexchange::queryInfo(exchange->request(), HTTP_QUERY_STATUS_CODE); }

    std::vector<Request> requests() const { return server->requestsSince(mark); }
    std::vector<std::string> logLines() const { return log.lines(); }
    bool logged(int level, const std::wstring& function, const std::string& message) const
    {
        return log.logged(level, function, message);
    }
    std::string dumpLog() const { return log.dump(); }

    testsupport::ServerProcess* server = nullptr;
    testsupport::ServerProcess::TlsSet tls;
    TempDir dir{L"hx"};
    testsupport::Logfile log{dir.path() + L"/web.log"};
    std::unique_ptr<Logger> logger;
    handles::Internet root;
    Seams seams;
    bool strictTls = false;
    bool unattended = false;
    std::unique_ptr<TestExchange> exchange;
    size_t mark = 0;
    DWORD lastError = 0;
    // The server name the exchange asks for.
    std::wstring host = L"127.0.0.1";
};

std::string body(size_t n) { return "{\"body_size\": " + std::to_string(n) + "}"; }

} // namespace

TEST_F(Exchange, UntrustedCertificateDeclinedInTheDialog)
{
    testsupport::DialogAnswerer answer(false);
    EXPECT_EQ(send(body(1999), 0, L"https", std::to_wstring(tls.https)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
    EXPECT_EQ(seams.prompts, 1);
    EXPECT_EQ(answer.answered(), 1);
    EXPECT_EQ(seams.sends, 1);
    EXPECT_TRUE(logged(3, UPD, "Unable to send request!"));
    EXPECT_TRUE(logged(3, UPD, "Something is wrong about the server certificate (retry)"));
    EXPECT_TRUE(logged(3, UPD, "Unhandled reason"));
    EXPECT_TRUE(logged(2, UPD, "Unable to send the request to the server"));
}

TEST_F(Exchange, SecondCertificateFailureEndsWithoutASecondDialog)
{
    // A prompt that says "retry" without changing anything: the resend meets the same problem.
    seams.prompt = [](HINTERNET, DWORD) -> DWORD { return ERROR_INTERNET_FORCE_RETRY; };
    EXPECT_EQ(send(body(1999), 0, L"https", std::to_wstring(tls.https)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(seams.prompts, 1);
    EXPECT_EQ(seams.sends, 2);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
    EXPECT_TRUE(logged(3, UPD, "Unhandled reason"));
}

TEST_F(Exchange, PresentedCertificateIsLogged)
{
    seams.prompt = [](HINTERNET, DWORD) -> DWORD { return ERROR_CANCELLED; };
    EXPECT_EQ(send(body(1999), 0, L"https", std::to_wstring(tls.https)), cWebupdater::UPDATE_SEND_FAILED);
    const auto lines = logLines();
    ASSERT_EQ(countLevel(lines, "WARNING - ", "Server certificate: "), 1) << dumpLog();
    std::string line;
    for (const auto& l : lines) {
        if (l.find("Server certificate: ") != std::string::npos) {
            line = l;
        }
    }
    EXPECT_NE(line.find("subject \"127.0.0.1\""), std::string::npos) << line;
    EXPECT_NE(line.find("issuer \"127.0.0.1\""), std::string::npos) << line;
    EXPECT_NE(line.find("valid from 20"), std::string::npos) << line;
    EXPECT_NE(line.find(" UTC to 20"), std::string::npos) << line;
    // Before the dialog.
    size_t certAt = 0;
    size_t retryAt = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        certAt = lines[i].find("Server certificate: ") != std::string::npos ? i : certAt;
        retryAt = lines[i].find("(retry)") != std::string::npos ? i : retryAt;
    }
    EXPECT_LT(certAt, retryAt);
    // Plain http has no certificate line.
    ASSERT_EQ(send(body(1999)), cWebupdater::UPDATE_DONE);
    EXPECT_EQ(countLevel(logLines(), "WARNING - ", "Server certificate: "), 1);
}

// --- Certificates of a trusted authority: name and date ------------------------------------------
// The server's throwaway authority is trusted in this prefix, so that WinINet's own checks are the
// ones in question: a certificate for wrong.example, one for localhost past its date, and one valid
// for localhost (the control). WinINet keeps a verified connection for the next request to the same
// server, so the strict runs, which must meet the checks, come first.

namespace {

// The web client's cookie for the https listeners (cookies are kept per host name).
void storeClientCookie()
{
    ASSERT_TRUE(::InternetSetCookieW(L"https://localhost/", L"TRBCreds", L"client-secret; path=/"));
}

bool carriesCookie(const Request& r)
{
    const std::string* cookie = r.header("Cookie");
    return cookie != nullptr && cookie->find("TRBCreds=client-secret") != std::string::npos;
}

// A prompt that stands in for a user who accepts a certificate of an unknown authority.
DWORD acceptUnknownAuthority(HINTERNET request, DWORD)
{
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    ::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
    flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    ::InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    return ERROR_INTERNET_FORCE_RETRY;
}

// The update request answered with a redirect to location (more headers as JSON list members);
// every other path gets a program of 130000 bytes.
std::string redirectAnswer(const std::string& location, const std::string& moreHeaders = "")
{
    return "{\"body_size\": 130000, \"routes\": {\"" + narrow(OBJECT) +
           "\": {\"status\": 302, \"body_text\": \"\", \"headers\": [[\"Location\", \"" + location + "\"]" +
           moreHeaders + "]}}}";
}

int requestsTo(const std::vector<Request>& requests, int port)
{
    return static_cast<int>(
        std::count_if(requests.begin(), requests.end(), [port](const Request& r) { return r.port == port; }));
}

} // namespace

TEST_F(Exchange, StrictTlsRefusesCertificateProblemsBeforeAnythingIsSent)
{
    storeClientCookie();
    host = L"localhost";
    strictTls = true;
    int prompts = 0;
    seams.prompt = [&prompts](HINTERNET, DWORD) -> DWORD {
        ++prompts;
        return ERROR_INTERNET_FORCE_RETRY;
    };
    const struct {
        int port;
        DWORD error;
        const char* subject;
    } refused[] = {
        {tls.name, ERROR_INTERNET_SEC_CERT_CN_INVALID, "subject \"Callvane Test, wrong.example\""},
        {tls.expired, ERROR_INTERNET_SEC_CERT_DATE_INVALID, "subject \"Callvane Test, localhost\""},
        {tls.other, ERROR_INTERNET_INVALID_CA, "subject \"localhost\""},
    };
    for (const auto& c : refused) {
        const size_t before = logLines().size();
        EXPECT_EQ(send(body(1999), 0, L"https", std::to_wstring(c.port)), cWebupdater::UPDATE_SEND_FAILED)
            << c.port << "\n"
            << dumpLog();
        EXPECT_EQ(lastError, c.error);
        EXPECT_EQ(requestsTo(requests(), c.port), 0) << "nothing, no cookie, reached the server";
        EXPECT_EQ(seams.securityFlagsAtLastSend &
                      (SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                       SECURITY_FLAG_IGNORE_REVOCATION),
                  0u);
        const std::vector<std::string> all = logLines();
        const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Unable to send request!"), 1) << dumpLog();
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Server certificate: " + std::string(c.subject)), 1) << dumpLog();
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Strict TLS: the certificate problem is not accepted"), 1);
        EXPECT_EQ(countLevel(lines, "ERROR   - ", "Unable to send the request to the server"), 1);
        EXPECT_EQ(countLevel(lines, "WARNING - ", "(retry)"), 0);
    }
    EXPECT_EQ(prompts, 0) << "strict TLS shows no certificate dialog, also not for a self-signed certificate";

    // An unreachable revocation server is not worked around either.
    seams.failFirstSendWith = ERROR_INTERNET_SEC_CERT_REV_FAILED;
    seams.sends = 0;
    EXPECT_EQ(send(body(1999), 0, L"https", std::to_wstring(tls.valid)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_REV_FAILED));
    EXPECT_EQ(seams.sends, 1) << "revocation checking is never switched off";
    seams.failFirstSendWith = 0;

    // The control: the certificate valid for localhost is taken, and only then is the cookie sent.
    ASSERT_EQ(send(body(1999), 0, L"https", std::to_wstring(tls.valid)), cWebupdater::UPDATE_DONE) << dumpLog();
    const auto reqs = requests();
    ASSERT_EQ(requestsTo(reqs, tls.valid), 1);
    EXPECT_TRUE(carriesCookie(reqs.back()));
    EXPECT_EQ(status(), L"200");
    EXPECT_EQ(countLevel(logLines(), "WARNING - ", "does not fit"), 0) << dumpLog();
}

TEST_F(Exchange, NameAndDateProblemsAreLoggedAndPassByDefault)
{
    storeClientCookie();
    host = L"localhost";
    const struct {
        int port;
        const char* line;
    } cases[] = {
        {tls.name, "Server certificate does not fit localhost (name not covered): subject \"Callvane Test, "
                   "wrong.example\", issuer \"Callvane Test, Callvane Throwaway Test CA\", valid from 20"},
        {tls.expired, "Server certificate does not fit localhost (expired on 2020-02-01 00:00:00 UTC): subject "
                      "\"Callvane Test, localhost\", issuer \"Callvane Test, Callvane Throwaway Test CA\", "
                      "valid from 2020-01-01 00:00:00 UTC to 2020-02-01 00:00:00 UTC"},
    };
    for (const auto& c : cases) {
        const size_t before = logLines().size();
        // As before: the flags let the problem through, and the request with the cookie is sent.
        ASSERT_EQ(send(body(1999), 0, L"https", std::to_wstring(c.port)), cWebupdater::UPDATE_DONE) << dumpLog();
        EXPECT_EQ(seams.securityFlagsAtLastSend &
                      (SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID),
                  static_cast<DWORD>(SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID));
        const auto reqs = requests();
        ASSERT_EQ(requestsTo(reqs, c.port), 1);
        EXPECT_TRUE(carriesCookie(reqs.back()));
        EXPECT_EQ(status(), L"200");
        // Now with one line that says so.
        const std::vector<std::string> all = logLines();
        const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Server certificate does not fit"), 1) << dumpLog();
        EXPECT_EQ(countLevel(lines, "WARNING - ", c.line), 1) << dumpLog();
        EXPECT_EQ(countLevel(lines, "ERROR   - ", ""), 0) << dumpLog();
    }
    // The control: the valid certificate gives no such line.
    const size_t before = logLines().size();
    ASSERT_EQ(send(body(1999), 0, L"https", std::to_wstring(tls.valid)), cWebupdater::UPDATE_DONE);
    const std::vector<std::string> all = logLines();
    EXPECT_EQ(
        countLevel(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), "WARNING - ", ""), 0)
        << dumpLog();
}

TEST_F(Exchange, MissingRevocationInformationIsACertificateProblem)
{
    host = L"localhost";
    for (const bool strict : {false, true}) {
        strictTls = strict;
        seams.sends = 0;
        seams.failFirstSendWith = ERROR_INTERNET_SEC_CERT_NO_REV;
        seams.sendBeforeFailing = true;
        const size_t before = logLines().size();
        EXPECT_EQ(send(body(1999), 0, L"https", std::to_wstring(tls.valid)), cWebupdater::UPDATE_SEND_FAILED);
        EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_NO_REV));
        EXPECT_EQ(seams.sends, 1);
        const std::vector<std::string> all = logLines();
        const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Server certificate: subject \"Callvane Test, localhost\""), 1)
            << dumpLog();
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Strict TLS: the certificate problem is not accepted"),
                  strict ? 1 : 0);
        EXPECT_EQ(countLevel(lines, "WARNING - ", "Unhandled reason"), strict ? 0 : 1);
        EXPECT_EQ(countLevel(lines, "ERROR   - ", "Unable to send the request to the server"), 1);
    }
}

TEST_F(Exchange, OneDialogPerCallAcrossRedirects)
{
    // Both servers present a self-signed certificate; the second is another host name. The user
    // accepts.
    host = L"localhost";
    seams.prompt = acceptUnknownAuthority;
    const std::string next = "https://127.0.0.1:" + std::to_string(tls.other) + "/next";
    EXPECT_EQ(send(redirectAnswer(next), 0, L"https", std::to_wstring(tls.https)), cWebupdater::UPDATE_SEND_FAILED)
        << dumpLog();
    EXPECT_EQ(seams.prompts, 1) << "the dialog once in the call, not once per hop";
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
    EXPECT_EQ(countLevel(logLines(), "debug   - ", "Following redirect to: " + next), 1) << dumpLog();
    EXPECT_EQ(countLevel(logLines(), "WARNING - ", "(retry)"), 1);
    EXPECT_TRUE(logged(3, UPD, "Unhandled reason"));
    EXPECT_TRUE(logged(2, UPD, "Unable to send the request to the server"));
    EXPECT_EQ(requestsTo(requests(), tls.other), 0);

    // The control: a new call starts with its own dialog (declined here).
    seams.prompt = [](HINTERNET, DWORD) -> DWORD { return ERROR_CANCELLED; };
    host = L"127.0.0.1";
    EXPECT_EQ(send(body(1999), 0, L"https", std::to_wstring(tls.other)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(seams.prompts, 2);
}

TEST_F(Exchange, AcceptedCertificateHoldsForARedirectBackToItsServer)
{
    // The server closes the connection after its redirect, so the next hop makes a new one and
    // meets the same unknown authority: the user's answer stands, no second dialog.
    host = L"localhost";
    seams.prompt = acceptUnknownAuthority;
    const std::string again = "https://localhost:" + std::to_string(tls.other) + "/again";
    ASSERT_EQ(send(redirectAnswer(again, ", [\"Connection\", \"close\"]"), 0, L"https", std::to_wstring(tls.other)),
              cWebupdater::UPDATE_DONE)
        << dumpLog();
    EXPECT_EQ(seams.prompts, 1);
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].line, "GET /again HTTP/1.1");
    EXPECT_EQ(status(), L"200");
}

// WinINet may remember an accepted certificate for the rest of the process: the fixture's fresh
// set of listeners keeps that from reaching the other tests.
TEST_F(Exchange, UntrustedCertificateAcceptedInTheDialog)
{
    testsupport::DialogAnswerer answer(true);
    const int32_t r = send(body(1999), 0, L"HTTPS", std::to_wstring(tls.https));
    ASSERT_EQ(r, cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(seams.prompts, 1);
    EXPECT_EQ(answer.answered(), 1);
    EXPECT_EQ(seams.sends, 2);
    EXPECT_TRUE(logged(3, UPD, "Unable to send request!"));
    EXPECT_TRUE(logged(3, UPD, "Something is wrong about the server certificate (retry)"));
    const auto reqs = requests();
    ASSERT_FALSE(reqs.empty());
    EXPECT_TRUE(reqs.back().tls);
    EXPECT_EQ(reqs.back().port, tls.https);
    EXPECT_EQ(status(), L"200");
}

// The control is UntrustedCertificateAcceptedInTheDialog: the same listener's certificate there
// brings the dialog.
TEST_F(Exchange, UnattendedRefusesWhatWouldNeedTheDialog)
{
    unattended = true;
    testsupport::DialogAnswerer answer(true);
    EXPECT_EQ(send(body(1999), 0, L"https", std::to_wstring(tls.https)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
    EXPECT_EQ(seams.prompts, 0);
    EXPECT_EQ(answer.answered(), 0);
    EXPECT_EQ(seams.sends, 1);
    EXPECT_EQ(requestsTo(requests(), tls.https), 0);
    const auto lines = logLines();
    EXPECT_EQ(countLevel(lines, "WARNING - ", "Server certificate: subject \"127.0.0.1\""), 1) << dumpLog();
    EXPECT_EQ(countLevel(lines, "WARNING - ", "Unattended: the certificate problem is not accepted"), 1);
    EXPECT_EQ(countLevel(lines, "ERROR   - ", "Unable to send the request to the server"), 1);
    EXPECT_EQ(countLevel(lines, "WARNING - ", "(retry)"), 0);

    // An unreachable revocation server needs no dialog: the one resend without the check stays.
    seams = Seams();
    seams.failFirstSendWith = ERROR_INTERNET_SEC_CERT_REV_FAILED;
    ASSERT_EQ(send(body(1999)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(seams.sends, 2);
}

TEST_F(Exchange, UnreachableRevocationServerResendsOnceWithoutTheCheck)
{
    seams.failFirstSendWith = ERROR_INTERNET_SEC_CERT_REV_FAILED;
    ASSERT_EQ(send(body(1999)), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(seams.sends, 2);
    EXPECT_EQ(seams.prompts, 0);
    EXPECT_TRUE(seams.securityFlagsAtLastSend & SECURITY_FLAG_IGNORE_REVOCATION);
    EXPECT_TRUE(logged(3, UPD, "Something is wrong about the server certificate revocation (retry)"));

    seams = Seams(); // a new call of a new updater
    seams.failFirstSendWith = ERROR_INTERNET_SEC_CERT_REVOKED;
    EXPECT_EQ(send(body(1999)), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_REVOKED));
    EXPECT_EQ(seams.sends, 1);
    EXPECT_TRUE(logged(3, UPD, "Certificate is revoked"));
}

TEST_F(Exchange, ConnectionRefusedIsASendFailure)
{
    // A port nobody listens on: the send fails with a code that is no certificate problem.
    EXPECT_EQ(send(body(1999), 0, L"http", L"1"), cWebupdater::UPDATE_SEND_FAILED);
    EXPECT_NE(lastError, 0u);
    EXPECT_TRUE(logged(3, UPD, "Unhandled reason"));
}

TEST_F(Exchange, RedirectsAreFollowedExceptFromHttpsToHttp)
{
    const std::string http = "http://127.0.0.1:" + std::to_string(server->http);
    const std::string https = "https://127.0.0.1:" + std::to_string(tls.https);
    // The self-signed certificate is accepted for these requests.
    seams.prompt = acceptUnknownAuthority;
    // https to http: refused before anything reaches the plain listener.
    EXPECT_EQ(send(redirectAnswer(http + "/moved"), 0, L"https", std::to_wstring(tls.https)),
              cWebupdater::UPDATE_SEND_FAILED)
        << dumpLog();
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR));
    auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u) << "only the first request";
    EXPECT_TRUE(reqs[0].tls);
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "refused: " + http + "/moved"), 1) << dumpLog();
    EXPECT_TRUE(logged(2, UPD, "Unable to send the request to the server")) << dumpLog();
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "Unable to send the request to the server"), 1);

    // http to http, and https to https: followed.
    ASSERT_EQ(send(redirectAnswer(http + "/moved")), cWebupdater::UPDATE_DONE) << dumpLog();
    reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].line, "GET /moved HTTP/1.1");
    ASSERT_EQ(send(redirectAnswer(https + "/secured"), 0, L"https", std::to_wstring(tls.https)),
              cWebupdater::UPDATE_DONE)
        << dumpLog();
    reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_TRUE(reqs[1].tls);
    EXPECT_EQ(reqs[1].line, "GET /secured HTTP/1.1");
}

// The watch bounds every run of an exchange: closed and run again (as after a busy server's
// answer), trickled headers stall again, and a prompt answer goes through.
TEST_F(Exchange, EveryRunOfAnExchangeIsWatchedAfresh)
{
    Httpexchange plain(logger.get(), root.get(), false, 3000);
    Httpexchange::Location at{L"http", host, static_cast<uint16_t>(server->http), OBJECT};
    Httpexchange::Request request;
    request.mediaType = L"application";
    server->configure("{\"body_size\": 1999, \"header_trickle\": [6, 1.0]}");
    for (int round = 0; round < 2; ++round) {
        const ULONGLONG start = ::GetTickCount64();
        const portable::Result r = plain.run(at, request);
        const ULONGLONG took = ::GetTickCount64() - start;
        EXPECT_EQ(r.code, cWebupdater::UPDATE_DOWNLOAD_FAILED) << round << "\n" << dumpLog();
        EXPECT_EQ(r.systemError, static_cast<DWORD>(ERROR_TIMEOUT)) << round;
        EXPECT_LT(took, 5500u) << round << ": the trickle itself lasts six seconds";
        plain.close();
    }
    server->configure(body(1999));
    EXPECT_TRUE(plain.run(at, request).ok()) << dumpLog();
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "Download stalled: 0 bytes in "), 2) << dumpLog();
}
