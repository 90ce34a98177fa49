// cCFG: its loading and unloading stages, writes into the configuration file beside the
// executable, and the browser version classification through the real registry (the version is
// read from a scratch key under HKEY_LOCAL_MACHINE; the emulation value is written to the real
// feature-control key under HKEY_CURRENT_USER, named after this test program's file name, and put
// back as it was after each case).
#include "FileobjectConfigfile.h"
#include "cCFG.h"
#include "cREGhandler.h"
#include "logcapture.h"
#include "registryfixture.h"

#include <gtest/gtest.h>

namespace {

// Opens the protected constructor that reads the browser version from another key.
class ScratchCFG : public cCFG {
public:
    ScratchCFG(Logger* logger, const std::wstring& file, const std::wstring& browserKey)
        : cCFG(logger, file, browserKey)
    {
    }
};

std::wstring ownFileName()
{
    wchar_t buffer[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring p = buffer;
    return p.substr(p.find_last_of(L"\\/") + 1);
}

std::wstring ownFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring p = normalizePath(buffer);
    return p.substr(0, p.rfind(L'/'));
}

// The browser emulation list under HKCU, where cCFG writes this program's value.
registryfixture::Key emulationList() { return registryfixture::Key(HKEY_CURRENT_USER, cCFG::BROWSER_EMULATION_KEY); }

// The emulation value of this program: its number, or -1 when absent or not a DWORD.
int64_t emulationValue()
{
    const std::optional<DWORD> n = emulationList().number(ownFileName());
    return n ? static_cast<int64_t>(*n) : -1;
}

// This program's emulation value is put back as it was after each case.
class GlobalConfiguration : public ::testing::Test {
protected:
    registryfixture::SavedValue emulation{HKEY_CURRENT_USER, cCFG::BROWSER_EMULATION_KEY, ownFileName()};
};

// The browser version is read from a scratch key.
class BrowserVersion : public GlobalConfiguration {
protected:
    registryfixture::ScratchKey browser{HKEY_LOCAL_MACHINE, L"ie"};

    void SetUp() override { ASSERT_TRUE(browser.ok()); }
    void setVersion(const std::wstring& v) { ASSERT_TRUE(browser.setText(L"Version", v)); }
};

} // namespace

TEST_F(BrowserVersion, EveryRowOfTheClassification)
{
    const struct {
        const wchar_t* version;
        int64_t written; // -1: nothing
    } rows[] = {
        {L"8.0.6001.18702", 8000},
        {L"9.0.8112.16421", 9000},
        {L"9.10.9200.16384", 10000},
        {L"9.11.9600.16384", -1},
        {L"9.0", -1},
        {L"9", -1},
        {L"9.", -1},
        {L"10.0.9200.16384", 10000},
        {L"11.0.9600.16384", 11000},
        {L"6.0.2900.2180", -1},
        {L"7.0.5730.13", -1},
        {L"", -1},
        {L".11.0", -1},
        {L"12.0", -1},
        {L"11", -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testsupport::narrow(row.version));
        emulationList().remove(ownFileName());
        setVersion(row.version);
        logcapture::Capture cap;
        {
            ScratchCFG cfg(cap.logger(), L"cfgtest-unused.deployment", browser.path());
        }
        EXPECT_EQ(emulationValue(), row.written);
        EXPECT_EQ(
            logcapture::levelOf(cap.of(cCFG::FN_CONSTRUCTOR), std::wstring(L"Installed version of IE: ") + row.version),
            4);
        const auto added = cap.of(cREGhandler::FN_ADD_REG_KEY);
        if (row.written >= 0) {
            ASSERT_EQ(added.size(), 2u);
            EXPECT_EQ(added[0].message,
                      L"Registry key added: Software\\Microsoft\\Internet Explorer\\MAIN - FeatureControl");
            EXPECT_EQ(added[1].message,
                      L"Registry key added: Software\\Microsoft\\Internet Explorer\\MAIN\\FeatureControl"
                      L" - FEATURE_BROWSER_EMULATION");
            const auto written = cap.of(cREGhandler::FN_SET_REG_VALUE);
            ASSERT_EQ(written.size(), 1u);
            EXPECT_EQ(written[0].message, std::wstring(L"Registry written: ") + cCFG::BROWSER_EMULATION_KEY + L" - " +
                                              ownFileName() + L" = " + std::to_wstring(row.written));
        } else {
            EXPECT_TRUE(added.empty());
            EXPECT_TRUE(cap.of(cREGhandler::FN_SET_REG_VALUE).empty());
        }
    }
}

TEST_F(BrowserVersion, MissingVersionValueTouchesNothing)
{
    emulationList().remove(ownFileName());
    logcapture::Capture cap;
    {
        ScratchCFG cfg(cap.logger(), L"cfgtest-unused.deployment", browser.path() + L"\\absent");
    }
    EXPECT_EQ(emulationValue(), -1);
    EXPECT_NE(logcapture::levelOf(cap.of(cCFG::FN_CONSTRUCTOR), L"Installed version of IE: "), -1);
}

TEST_F(GlobalConfiguration, StagesWritesAndTheRealBrowserKey)
{
    const std::wstring name = L"cfgtest-" + std::to_wstring(::GetCurrentProcessId()) + L".deployment";
    const std::wstring file = ownFolder() + L"/" + name;
    ::DeleteFileW(file.c_str());

    logcapture::Capture cap;
    {
        cCFG cfg(cap.logger(), name);
        EXPECT_EQ(cfg.getConfigfile()->getFullPath(), file);
        EXPECT_EQ(cfg.getApplicationFile()->getFilename(), ownFileName());
        EXPECT_EQ(cfg.getLogger(), cap.logger());
        EXPECT_FALSE(testsupport::fileExists(file)) << "the file is created by the first write";
        cfg.writeParameter(L"DEPLOYMENT_SERVER_HOST", L"cv.example.test");
        cfg.writeParameter(L"DEPLOYMENT_SERVER_PORT", L"");
    }
    EXPECT_EQ(testsupport::readBytes(file),
              "[common]\r\nDEPLOYMENT_SERVER_HOST=cv.example.test\r\nDEPLOYMENT_SERVER_PORT=\r\n")
        << "the file stays after the object is gone";
    ::DeleteFileW(file.c_str());

    // Order of the stages, by function name and message.
    std::vector<std::wstring> seen;
    for (const auto& l : cap.lines()) {
        if (l.function == cCFG::FN_CONSTRUCTOR || l.function == cCFG::FN_DESTRUCTOR ||
            l.function == FileobjectConfigfile::FN_CONSTRUCTOR || l.function == cREGhandler::FN_GET_REG_VALUE) {
            seen.push_back(l.function + L"|" + l.message);
        }
    }
    ASSERT_GE(seen.size(), 9u);
    EXPECT_EQ(seen[0], L"cCFG::cCFG|Loading environment");
    EXPECT_EQ(seen[1], L"cCFG::cCFG|Loading fileobject of application");
    EXPECT_EQ(seen[2], L"cCFG::cCFG|Loading global configuration");
    EXPECT_EQ(seen[3], L"FileobjectConfigfile::FileobjectConfigfile|Prepared configfile: " + file);
    // The product's browser key, whatever version this prefix holds.
    EXPECT_EQ(seen[4].rfind(
                  L"cREGhandler::getRegValue|Registry key red:Software\\Microsoft\\Internet Explorer - Version = ", 0),
              0u)
        << testsupport::narrow(seen[4]);
    EXPECT_EQ(seen[5].rfind(L"cCFG::cCFG|Installed version of IE: ", 0), 0u);
    const size_t n = seen.size();
    EXPECT_EQ(seen[n - 3], L"cCFG::~cCFG|Unloading global configuration");
    EXPECT_EQ(seen[n - 2], L"cCFG::~cCFG|Unloading environment");
    EXPECT_EQ(seen[n - 1], L"cCFG::~cCFG|Unloading fileobject of application");
}

TEST_F(GlobalConfiguration, DeletedThroughEachBase)
{
    logcapture::Capture cap;
    cREGhandler* asRegistry = new cCFG(cap.logger(), L"cfgtest-unused.deployment");
    delete asRegistry;
    cOLEhandler* asOle = new cCFG(cap.logger(), L"cfgtest-unused.deployment");
    delete asOle;
    cAbstract* asRoot = static_cast<cREGhandler*>(new cCFG(cap.logger(), L"cfgtest-unused.deployment"));
    delete asRoot;
    EXPECT_EQ(cap.of(cCFG::FN_DESTRUCTOR).size(), 9u);
}
