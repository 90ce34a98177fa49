// Bodyreceiver against the real loopback server: the body of an open request streamed into a
// private file (bodies ending anywhere in a block or batch), the size cap (announced and while
// streaming), the announced length, the stall window, the progress per batch, the lines about the
// temporary file, and the digest fed from the batches while a slow consumer holds one; the
// watch's two-halved calls and offered jobs that the receiver relies on.
#include "Bodyreceiver.h"

#include "Fileobject.h"
#include "Httpexchange.h"
#include "Logger.h"
#include "cWebupdater.h"
#include "loopbackserver.h"
#include "updatertest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using testsupport::countLevel;
using testsupport::narrow;
using testsupport::readBytes;
using testsupport::TempDir;
using testsupport::widen;
using testsupport::writeBytes;

namespace {

const bool serverStarts = (testsupport::addServerEnvironment(false), true);

class Receiver : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = testsupport::loopbackServer();
        ASSERT_NE(server, nullptr);
        ASSERT_NE(server->http, 0) << "no loopback server";
        stem = L"rx_" + widen(::testing::UnitTest::GetInstance()->current_test_info()->name()) + L".exe";
        logger = std::make_unique<Logger>(dir.path(), L"web.log", L"CV_setup.exe");
        root.reset(::InternetOpenW(testsupport::UPDATER_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        ASSERT_TRUE(root.valid());
        limits.maxSize = cWebupdater::MAX_DOWNLOAD_SIZE;
        limits.stallBoundMs = cWebupdater::STALL_BOUND_MS;
        folder = testsupport::tempFolder();
    }
    void TearDown() override { download.discard(); }

    // The answer fetched over plain http, then its body received: UPDATE_DONE or the result code
    // of updateFile, the system error in lastError.
    int32_t receive(const std::string& answer)
    {
        download.discard();
        server->configure(answer);
        Httpexchange exchange(logger.get(), root.get(), false, limits.stallBoundMs);
        Httpexchange::Location at{L"http", L"127.0.0.1", static_cast<uint16_t>(server->http),
                                  testsupport::UPDATE_OBJECT};
        Httpexchange::Request request;
        request.mediaType = L"application";
        const portable::Result sent = exchange.run(at, request);
        EXPECT_TRUE(sent.ok()) << sent.code;
        Bodyreceiver::Limits bounds = limits;
        bounds.watch = &exchange.watch();
        const portable::Result r =
            Bodyreceiver(logger.get(), bounds, progress, digest).receive(exchange.request(), folder, stem, &download);
        lastError = r.systemError;
        return r.ok() ? cWebupdater::UPDATE_DONE : r.code;
    }
    std::string stored()
    {
        std::string bytes(static_cast<size_t>(download.size()), '\0');
        bytes.resize(download.readFully(0, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()));
        return bytes;
    }
    int leftovers() const { return testsupport::leftoverDownloads({testsupport::tempFolder(), dir.path()}, stem); }
    std::vector<std::string> logLines() const { return log.lines(); }
    bool logged(int level, const std::wstring& function, const std::string& message) const
    {
        return log.logged(level, function, message);
    }
    std::string dumpLog() const { return log.dump(); }

    testsupport::ServerProcess* server = nullptr;
    TempDir dir{L"rx"};
    testsupport::Logfile log{dir.path() + L"/web.log"};
    std::unique_ptr<Logger> logger;
    handles::Internet root;
    Bodyreceiver::Limits limits;
    Bodyreceiver::Progress progress;
    Bodydigest* digest = nullptr;
    std::wstring folder;
    std::wstring stem;
    Downloadfile download;
    DWORD lastError = 0;
};

std::string body(size_t n) { return "{\"body_size\": " + std::to_string(n) + "}"; }

} // namespace

TEST_F(Receiver, TruncatedBodyIsAFailedDownload)
{
    EXPECT_EQ(receive("{\"body_size\": 300000, \"truncate_after\": 200000}"), cWebupdater::UPDATE_DOWNLOAD_FAILED)
        << dumpLog();
    EXPECT_EQ(leftovers(), 0) << "the partial file is deleted";
    EXPECT_TRUE(logged(2, cWebupdater::FN_DOWNLOAD, "Download incomplete: 200000 of 300000 bytes received"));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_HANDLE_EOF)) << "the system error says what happened";

    // A Content-Length that claims more than the server sends: the same.
    EXPECT_EQ(receive("{\"body_size\": 130000, \"content_length\": 130001}"), cWebupdater::UPDATE_DOWNLOAD_FAILED);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(leftovers(), 0);
}

TEST_F(Receiver, OversizedBodiesAreRefused)
{
    // Announced above 1 GiB: refused before a byte is stored.
    EXPECT_EQ(receive("{\"body_size\": 130000, \"content_length\": 1073741825}"), cWebupdater::UPDATE_DOWNLOAD_FAILED);
    EXPECT_TRUE(logged(2, cWebupdater::FN_DOWNLOAD,
                       "Download refused: 1073741825 bytes announced, more than the limit of 1073741824 bytes"));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(leftovers(), 0);

    // Unannounced (chunked) and growing past the limit: refused while streaming.
    limits.maxSize = 150000;
    EXPECT_EQ(receive("{\"body_size\": 400000, \"chunked\": true}"), cWebupdater::UPDATE_DOWNLOAD_FAILED);
    EXPECT_TRUE(logged(2, cWebupdater::FN_DOWNLOAD, "Download refused: the body exceeds the limit of 150000 bytes"));
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(leftovers(), 0);

    // At the limit exactly, chunked, it passes.
    ASSERT_EQ(receive("{\"body_size\": 150000, \"chunked\": true}"), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(stored(), testsupport::patternBytes(150000));
}

TEST_F(Receiver, ProgressIsReportedPerBatch)
{
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    progress = [&](uint64_t got, uint64_t expected) { calls.emplace_back(got, expected); };
    const uint64_t size = 3 * 1048576 + 5;
    ASSERT_EQ(receive(body(size)), cWebupdater::UPDATE_DONE);
    // A batch holds up to four blocks: no call per block, no batch left unreported.
    ASSERT_GE(calls.size(), size / (4 * cWebupdater::READ_BLOCK));
    ASSERT_LT(calls.size(), size / cWebupdater::READ_BLOCK);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].second, size);
        EXPECT_LE(calls[i].first - (i ? calls[i - 1].first : 0), 4 * cWebupdater::READ_BLOCK);
        if (i) {
            ASSERT_GT(calls[i].first, calls[i - 1].first);
        }
    }
    EXPECT_EQ(calls.back().first, size);

    calls.clear();
    ASSERT_EQ(receive("{\"body_size\": 130000, \"chunked\": true}"), cWebupdater::UPDATE_DONE);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().first, 130000u);
    EXPECT_EQ(calls.back().second, 0u) << "no Content-Length announced";
}

TEST_F(Receiver, BodiesEndingAnywhereInABlockArriveWhole)
{
    const uint64_t block = cWebupdater::READ_BLOCK;
    for (const bool chunked : {false, true}) {
        for (const uint64_t n : {uint64_t{0}, uint64_t{1}, block - 1, block, block + 1, 4 * block - 1, 4 * block,
                                 4 * block + 1, 9 * block + 12345}) {
            const std::string answer =
                "{\"body_size\": " + std::to_string(n) + (chunked ? ", \"chunked\": true}" : "}");
            ASSERT_EQ(receive(answer), cWebupdater::UPDATE_DONE) << answer << "\n" << dumpLog();
            EXPECT_EQ(stored(), testsupport::patternBytes(static_cast<size_t>(n))) << answer;
        }
    }
}

TEST_F(Receiver, DigestIsFedEveryBatchWhileASlowConsumerHoldsOne)
{
    // The helper thread reads the next batch while this thread still stores and digests the last
    // one (here slowed down): a batch read into before it was stored would change the file and
    // the digest.
    const size_t size = 3 * 1048576 + 777;
    std::string program = testsupport::programBytes(size, 0);
    // Section bytes that repeat nowhere at a batch's distance.
    uint32_t x = 12345;
    for (size_t i = 0x400; i < program.size(); ++i) {
        x = x * 1103515245u + 12345u;
        program[i] = static_cast<char>(x >> 24);
    }
    const std::wstring name = L"/slow-consumer.bin";
    ASSERT_TRUE(writeBytes(server->control + name, program));
    int calls = 0;
    progress = [&](uint64_t, uint64_t) {
        ++calls;
        ::Sleep(3);
    };
    Bodydigest fed;
    digest = &fed;
    ASSERT_EQ(receive("{\"body_file\": \"" + server->controlUnix + narrow(name) + "\"}"), cWebupdater::UPDATE_DONE)
        << dumpLog();
    EXPECT_GT(calls, 3);
    EXPECT_TRUE(stored() == program) << "the file holds the body as sent";
    portable::Sha256::Digest expected{};
    ASSERT_TRUE(portable::imageDigest(reinterpret_cast<const uint8_t*>(program.data()), program.size(), &expected));
    portable::Sha256::Digest got{};
    ASSERT_TRUE(fed.finish(&got));
    EXPECT_EQ(portable::toHex(got), portable::toHex(expected));
}

TEST_F(Receiver, TemporaryFileLinesNameTheFileAttempted)
{
    // The folder of the download cannot be made: a file stands where a folder should.
    ASSERT_TRUE(writeBytes(dir.file(L"blocker"), "a file"));
    folder = dir.file(L"blocker") + L"/sub";
    EXPECT_EQ(receive(body(1999)), cWebupdater::UPDATE_DOWNLOAD_FAILED) << dumpLog();
    EXPECT_NE(lastError, 0u);
    const std::string folder = narrow(normalizePath(dir.file(L"blocker") + L"/sub")) + "/" + narrow(stem) + ".";
    int pathLines = 0;
    int createLines = 0;
    for (const auto& l : logLines()) {
        for (const auto& [prefix, count] :
             {std::pair<std::string, int*>{"Unable to create path for file: ", &pathLines},
              std::pair<std::string, int*>{"Unable to create temporary file: ", &createLines}}) {
            const size_t at = l.find(prefix);
            if (at == std::string::npos) {
                continue;
            }
            ++*count;
            // The folder, the target's name, 16 random hex digits, ".tmp".
            const std::string named = l.substr(at + prefix.size());
            ASSERT_EQ(named.size(), folder.size() + 16 + 4) << l;
            EXPECT_EQ(named.substr(0, folder.size()), folder) << l;
            EXPECT_EQ(named.substr(folder.size() + 16), ".tmp") << l;
            EXPECT_EQ(named.substr(folder.size(), 16).find_first_not_of("0123456789abcdef"), std::string::npos) << l;
        }
    }
    EXPECT_EQ(pathLines, 1) << dumpLog();
    EXPECT_EQ(createLines, 1) << dumpLog();
    EXPECT_TRUE(logged(2, cWebupdater::FN_DOWNLOAD, "Error: " + std::to_string(lastError))) << dumpLog();
}

TEST_F(Receiver, StalledTransfersEndWithinTheBound)
{
    limits.stallBoundMs = 3000;
    struct Case {
        const char* answer;
        const char* what;
    };
    const Case cases[] = {
        {"{\"body_size\": 300000, \"trickle\": [1, 0.5]}", "a byte every half second"},
        {"{\"body_size\": 300000, \"trickle\": [1000, 1.0]}", "1000 bytes a second, less than a block at a time"},
        {"{\"body_size\": 300000, \"stall_after\": 70000, \"stall_seconds\": 30}", "silence after 70000 bytes"},
        {"{\"body_size\": 300000, \"chunked\": true, \"trickle\": [300, 0.5]}", "chunks of 300 bytes"},
        // Steady but below 64 KiB a window: the bound covers the whole transfer, not only silence.
        {"{\"body_size\": 300000, \"trickle\": [2048, 3.0]}", "2 KiB a window"},
        {"{\"body_size\": 300000, \"trickle\": [4096, 0.4]}", "about 30 KiB a window, in 4 KiB pieces"},
    };
    for (const Case& c : cases) {
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(receive(c.answer), cWebupdater::UPDATE_DOWNLOAD_FAILED) << c.what << "\n" << dumpLog();
        const ULONGLONG took = ::GetTickCount64() - start;
        EXPECT_LT(took, 9000u) << c.what;
        EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_TIMEOUT)) << c.what;
        EXPECT_EQ(leftovers(), 0);
    }
    EXPECT_EQ(countLevel(logLines(), "ERROR   - ", "Download stalled: "), 6) << dumpLog();
    // The control: slow but steady (about 80 KiB/s in 8 KiB pieces, above 64 KiB a window) is no stall.
    ASSERT_EQ(receive("{\"body_size\": 400000, \"trickle\": [8192, 0.1]}"), cWebupdater::UPDATE_DONE) << dumpLog();
    EXPECT_EQ(stored(), testsupport::patternBytes(400000));
}

// What the receiver relies on in its watch: a call begun runs on the helper thread while the caller
// goes on, and await gives its result; without a started watch the call runs at begin on the
// caller's thread. An offered job runs on the watch's own thread, settleOffered waits for it, and
// nothing is taken after finish.
TEST(Transferwatch, BegunCallsAndOfferedJobsRunBesideTheCaller)
{
    const DWORD caller = ::GetCurrentThreadId();
    Transferwatch::Bounds bounds;
    bounds.windowMs = 60000;
    bounds.windowBytes = 1;
    Transferwatch idle(nullptr, bounds, [] {});
    DWORD ranOn = 0;
    idle.begin([&](DWORD* error) {
        ranOn = ::GetCurrentThreadId();
        *error = 5;
        return FALSE;
    });
    EXPECT_EQ(ranOn, caller) << "not started: the call runs at begin";
    DWORD error = 0;
    EXPECT_FALSE(idle.await(&error));
    EXPECT_EQ(error, 5u);
    EXPECT_FALSE(idle.offer([] {})) << "no watch thread to take it";

    Transferwatch watch(nullptr, bounds, [] {});
    watch.start();
    auto callThread = std::make_shared<std::atomic<DWORD>>(0);
    const ULONGLONG begun = ::GetTickCount64();
    watch.begin([callThread](DWORD* failure) {
        callThread->store(::GetCurrentThreadId());
        ::Sleep(300);
        *failure = 7;
        return TRUE;
    });
    EXPECT_LT(::GetTickCount64() - begun, 200u) << "begin does not wait for the call";
    EXPECT_TRUE(watch.await(&error));
    EXPECT_EQ(error, 7u);
    EXPECT_NE(callThread->load(), 0u);
    EXPECT_NE(callThread->load(), caller);

    std::atomic<DWORD> jobThread{0};
    std::atomic<bool> jobDone{false};
    ASSERT_TRUE(watch.offer([&] {
        jobThread = ::GetCurrentThreadId();
        ::Sleep(300);
        jobDone = true;
    }));
    for (int i = 0; i < 500 && jobThread.load() == 0; ++i) {
        ::Sleep(10);
    }
    watch.settleOffered();
    EXPECT_TRUE(jobDone.load()) << "settleOffered waits for the job under way";
    EXPECT_NE(jobThread.load(), caller);
    EXPECT_NE(jobThread.load(), callThread->load());
    watch.finish();
    EXPECT_FALSE(watch.offer([] {}));
}
