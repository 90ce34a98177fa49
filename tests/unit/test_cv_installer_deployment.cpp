// The deployment block: the reader of the application object against real files (binary bytes
// and zero bytes around the block), getDeploymentParameter's rules, the marker kept out of the
// executables, and stages 7 and 8 writing the .deployment file beside this test program.
#include "Fileobject.h"
#include "FileobjectConfigfile.h"
#include "Ownfile.h"
#include "Publisherpin.h"
#include "cCFG.h"
#include "cCV_INSTALLER.h"
#include "handles.h"
#include "logcapture.h"
#include "sampleblock.h"
#include "textutil.h"

#include <gtest/gtest.h>

using testsupport::TempDir;

namespace {

const char* const SAMPLE_ENTRIES = sampleblock::ENTRIES;

// The marker is built here from pieces as well: this test program must not carry it whole either.
std::string marker() { return std::string("ADDED_SERVERPARAMETERS") + ":"; }
std::string sampleBlock() { return marker() + SAMPLE_ENTRIES; }

std::wstring param(const std::string& content, const wchar_t* key)
{
    return cCV_INSTALLER::getDeploymentParameter(testsupport::widen(content), key);
}

// Reaches the protected members that stages 7 and 8 share.
class Installer : public cCV_INSTALLER {
public:
    // Borrows the test's logger: it is handed back, not deleted, when the installer goes.
    explicit Installer(Logger* l) { logger.reset(l); }
    ~Installer() override { static_cast<void>(logger.release()); }
    void setContent(const std::wstring& c) { deploymentContent = c; }
};

std::wstring ownFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const std::wstring p = normalizePath(buffer);
    return p.substr(0, p.rfind(L'/'));
}

} // namespace

TEST(DeploymentBlock, SampleBlock)
{
    const std::string block = sampleBlock();
    EXPECT_EQ(block.size(), 408u);
    EXPECT_EQ(cCV_INSTALLER::deploymentMarker(), testsupport::widen(marker()));
    EXPECT_EQ(param(block, cCV_INSTALLER::DEPLOYMENT_SERVER_PROTOCOL), L"https");
    EXPECT_EQ(param(block, cCV_INSTALLER::DEPLOYMENT_SERVER_HOST), L"callvane.vazu.example.de");
    EXPECT_EQ(param(block, cCV_INSTALLER::DEPLOYMENT_SERVER_PORT), L"8443");
    EXPECT_EQ(param(block, cCV_INSTALLER::DEPLOYMENT_SERVER_URL_PORTAL), L"/vazu/portal/req?loadPortal");
    EXPECT_EQ(param(block, cCV_INSTALLER::DEPLOYMENT_SERVER_URL_CLIENT), L"/vazu/portal/req?loadPortal");
    EXPECT_EQ(param(block, cCV_INSTALLER::DEPLOYMENT_SERVER_URL_EVENTS), L"/vazu/webportlets/portal/eventViewer");
    EXPECT_EQ(param(block, cCV_INSTALLER::DEPLOYMENT_PRODUCT), L"Brightel RudEvuvor");
    EXPECT_EQ(param(block, cCV_INSTALLER::DEPLOYMENT_LOGLEVEL), L"3");
    EXPECT_EQ(param(block, L"DEPLOYMENT_server_HOST"), L"") << "keys compare case-sensitively";
    EXPECT_EQ(param(block, L"DEPLOYMENT_OTHER"), L"");
    EXPECT_EQ(param("", cCV_INSTALLER::DEPLOYMENT_SERVER_HOST), L"");
}

TEST(DeploymentBlock, OrderDuplicatesBrokenAndEmptyEntries)
{
    const std::string reordered = marker() + "ADDED_SERVERPARAMETER_LOGLEVEL<1>ADDED_SERVERPARAMETER_PORTAL</p>"
                                             "ADDED_SERVERPARAMETER_PORT<80>ADDED_SERVERPARAMETER_PORT<81>"
                                             "ADDED_SERVERPARAMETER_HOST< h >ADDED_SERVERPARAMETER_PROTOCOL<http>\r\n";
    EXPECT_EQ(param(reordered, cCV_INSTALLER::DEPLOYMENT_SERVER_PORT), L"80") << "the first entry counts";
    EXPECT_EQ(param(reordered, cCV_INSTALLER::DEPLOYMENT_SERVER_URL_PORTAL), L"/p");
    EXPECT_EQ(param(reordered, cCV_INSTALLER::DEPLOYMENT_SERVER_HOST), L" h ") << "no trimming";
    EXPECT_EQ(param(reordered, cCV_INSTALLER::DEPLOYMENT_LOGLEVEL), L"1");
    EXPECT_EQ(param(reordered, cCV_INSTALLER::DEPLOYMENT_PRODUCT), L"") << "missing";

    // PORT is not found inside the PORTAL entry.
    const std::string portalOnly = marker() + "ADDED_SERVERPARAMETER_PORTAL<8443>\r\n";
    EXPECT_EQ(param(portalOnly, cCV_INSTALLER::DEPLOYMENT_SERVER_PORT), L"");
    EXPECT_EQ(param(portalOnly, cCV_INSTALLER::DEPLOYMENT_SERVER_URL_PORTAL), L"8443");

    const std::string emptyPort = marker() + "ADDED_SERVERPARAMETER_PORT<>ADDED_SERVERPARAMETER_HOST<h>\r\n";
    EXPECT_EQ(param(emptyPort, cCV_INSTALLER::DEPLOYMENT_SERVER_PORT), L"");
    EXPECT_EQ(param(emptyPort, cCV_INSTALLER::DEPLOYMENT_SERVER_HOST), L"h");

    const std::string unclosed = marker() + "ADDED_SERVERPARAMETER_HOST<h>ADDED_SERVERPARAMETER_PRODUCT<no end\r\n";
    EXPECT_EQ(param(unclosed, cCV_INSTALLER::DEPLOYMENT_PRODUCT), L"");
    EXPECT_EQ(param(unclosed, cCV_INSTALLER::DEPLOYMENT_SERVER_HOST), L"h") << "others unaffected";
}

TEST(DeploymentBlock, ReadFromFilesWithBinaryAroundIt)
{
    TempDir dir;
    std::string image("MZ\x90\0\x03\0\0\0\x04\0\0\0\xff\xff\0\0", 16);
    for (int i = 0; i < 4096; ++i) {
        image += static_cast<char>((i * 7) % 256);
    }
    // Entry tags in the image before the marker do not count.
    image += std::string("ADDED_SERVERPARAMETER_PORT<1>") + std::string(3, '\0');

    const std::string stamped = image + sampleBlock();
    ASSERT_TRUE(testsupport::writeBytes(dir.file(L"a.exe"), stamped));
    const std::wstring block = cCV_INSTALLER::readDeploymentBlock(dir.file(L"a.exe"));
    EXPECT_EQ(block, testsupport::widen(sampleBlock()));
    EXPECT_EQ(cCV_INSTALLER::getDeploymentParameter(block, cCV_INSTALLER::DEPLOYMENT_SERVER_PORT), L"8443");

    // Zero bytes and high bytes inside and behind the block: zeros read as line feeds, the rest
    // through code page 1252.
    const std::string messy = image + marker() + "ADDED_SERVERPARAMETER_PRODUCT<Br\xe4nd\x80l>" +
                              std::string("\0\0", 2) + "ADDED_SERVERPARAMETER_HOST<a" + std::string(1, '\0') +
                              "b>\r\n" + std::string("\x01\0\xfe", 3);
    ASSERT_TRUE(testsupport::writeBytes(dir.file(L"b.exe"), messy));
    const std::wstring messyBlock = cCV_INSTALLER::readDeploymentBlock(dir.file(L"b.exe"));
    EXPECT_EQ(cCV_INSTALLER::getDeploymentParameter(messyBlock, cCV_INSTALLER::DEPLOYMENT_PRODUCT),
              L"Br\u00e4nd\u20acl");
    EXPECT_EQ(cCV_INSTALLER::getDeploymentParameter(messyBlock, cCV_INSTALLER::DEPLOYMENT_SERVER_HOST), L"a\nb");

    // Two blocks: the first marker counts.
    const std::string twice = image + marker() + "ADDED_SERVERPARAMETER_HOST<first>\r\n" + marker() +
                              "ADDED_SERVERPARAMETER_HOST<second>\r\n";
    ASSERT_TRUE(testsupport::writeBytes(dir.file(L"c.exe"), twice));
    EXPECT_EQ(cCV_INSTALLER::getDeploymentParameter(cCV_INSTALLER::readDeploymentBlock(dir.file(L"c.exe")),
                                                    cCV_INSTALLER::DEPLOYMENT_SERVER_HOST),
              L"first");

    ASSERT_TRUE(testsupport::writeBytes(dir.file(L"d.exe"), image));
    EXPECT_EQ(cCV_INSTALLER::readDeploymentBlock(dir.file(L"d.exe")), L"");
    EXPECT_EQ(cCV_INSTALLER::readDeploymentBlock(dir.file(L"missing.exe")), L"");
}

TEST(DeploymentBlock, MarkerIsNotInTheBuiltPrograms)
{
    // As the reader sees them: the installer and this test program hold no block of their own.
    EXPECT_EQ(cCV_INSTALLER::readDeploymentBlock(testsupport::builtProgram(L"CV_setup.exe")), L"");
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_EQ(cCV_INSTALLER::readDeploymentBlock(self), L"");
    // Nor as bytes in either encoding.
    const std::string exe = testsupport::readBytes(testsupport::builtProgram(L"CV_setup.exe"));
    ASSERT_GT(exe.size(), 1000u);
    const std::wstring wide = testsupport::widen(marker());
    EXPECT_EQ(exe.find(marker()), std::string::npos);
    EXPECT_EQ(exe.find(std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2)), std::string::npos);
}

TEST(DeploymentBlock, AnOwnFileThatCannotBeReadRefusesEveryUpdate)
{
    TempDir dir;
    const std::wstring path = dir.file(L"locked.exe");
    ASSERT_TRUE(testsupport::writeBytes(path, std::string("MZ") + std::string(4000, 'x') + sampleBlock()));
    const std::wstring pinEntry(64, L'a');
    // Control: nobody holds the file.
    {
        const auto own = Ownfile::read(path);
        ASSERT_TRUE(own->readable());
        EXPECT_EQ(own->deploymentBlock(), testsupport::widen(sampleBlock()));
        const cCV_INSTALLER::OwnSignature check = cCV_INSTALLER::checkOwnSignature(*own);
        EXPECT_EQ(check.unreadable, L"");
        EXPECT_FALSE(check.present);
        EXPECT_TRUE(Publisherpin::decide(pinEntry, check, "").keys.has_value());
    }
    // A handle that shares nothing (a scanner, a backup tool), no file at all. (Wine does not hold
    // reads to byte-range locks, so that kind of lock cannot be shown here.)
    const struct {
        const wchar_t* name;
        DWORD error;
    } CASES[] = {{L"locked.exe", ERROR_SHARING_VIOLATION}, {L"missing.exe", ERROR_FILE_NOT_FOUND}};
    for (const auto& c : CASES) {
        handles::Kernel holder;
        if (std::wstring(c.name) == L"locked.exe") {
            holder.reset(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(holder.valid());
        }
        const auto own = Ownfile::read(dir.file(c.name));
        EXPECT_FALSE(own->readable());
        EXPECT_EQ(own->error(), c.error);
        EXPECT_EQ(own->deploymentBlock(), L"");
        const cCV_INSTALLER::OwnSignature check = cCV_INSTALLER::checkOwnSignature(*own);
        EXPECT_EQ(check.unreadable,
                  textutil::format(L"the installer's own file cannot be read (system error %lu)", c.error));
        // Whatever the block or the lack of one would say.
        for (const auto& entry : {std::optional<std::wstring>(), std::optional<std::wstring>(pinEntry)}) {
            const Publisherpin::Decision d = Publisherpin::decide(entry, check, "");
            EXPECT_FALSE(d.keys.has_value());
            EXPECT_EQ(d.refusal, check.unreadable);
            EXPECT_EQ(d.announcement, L"Publisher pin in force: none can pass (" + check.unreadable + L")");
        }
    }
}

TEST(DeploymentStages, WithoutBlockTheEightKeysAreWrittenEmpty)
{
    const std::wstring file = ownFolder() + L"/CV.deployment";
    // Earlier values are replaced by empty ones.
    ASSERT_TRUE(testsupport::writeBytes(file, "[common]\r\nDEPLOYMENT_SERVER_HOST=old\r\n"));
    logcapture::Capture cap;
    {
        Installer app(cap.logger());
        app.readDeployment();
        EXPECT_EQ(app.getDeploymentFileName(), L"CV.deployment") << "no CV in the test program's name";
        EXPECT_EQ(app.getDeploymentContent(), L"");
        EXPECT_EQ(app.getExecutableFullPath().rfind(ownFolder() + L"/", 0), 0u);
        app.writeDeployment();
    }
    EXPECT_EQ(testsupport::readBytes(file), "[common]\r\nDEPLOYMENT_SERVER_HOST=\r\nDEPLOYMENT_SERVER_PROTOCOL=\r\n"
                                            "DEPLOYMENT_SERVER_PORT=\r\nDEPLOYMENT_SERVER_URL_CLIENT=\r\n"
                                            "DEPLOYMENT_SERVER_URL_PORTAL=\r\nDEPLOYMENT_SERVER_URL_EVENTS=\r\n"
                                            "DEPLOYMENT_PRODUCT=\r\nDEPLOYMENT_LOGLEVEL=\r\n");
    ::DeleteFileW(file.c_str());
    auto lines = cap.of(cCV_INSTALLER::FN_INIT_INSTANCE);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 1);
    EXPECT_EQ(lines[0].message, L"This executable has no deployment attached!");
    EXPECT_EQ(cap.of(FileobjectConfigfile::FN_WRITE_CFG_PARAM_STRING).size(), 8u);
    EXPECT_EQ(cap.of(cCFG::FN_DESTRUCTOR).size(), 3u) << "the configuration object is deleted after the writes";
}

TEST(DeploymentStages, SampleBlockFillsTheFileInKeyOrder)
{
    const std::wstring file = ownFolder() + L"/CV.deployment";
    ::DeleteFileW(file.c_str());
    logcapture::Capture cap;
    {
        Installer app(cap.logger());
        app.readDeployment();
        app.setContent(testsupport::widen(sampleBlock()));
        app.writeDeployment();
    }
    EXPECT_EQ(testsupport::readBytes(file),
              "[common]\r\nDEPLOYMENT_SERVER_HOST=callvane.vazu.example.de\r\nDEPLOYMENT_SERVER_PROTOCOL=https\r\n"
              "DEPLOYMENT_SERVER_PORT=8443\r\nDEPLOYMENT_SERVER_URL_CLIENT=/vazu/portal/req?loadPortal\r\n"
              "DEPLOYMENT_SERVER_URL_PORTAL=/vazu/portal/req?loadPortal\r\n"
              "DEPLOYMENT_SERVER_URL_EVENTS=/vazu/webportlets/portal/eventViewer\r\n"
              "DEPLOYMENT_PRODUCT=Brightel RudEvuvor\r\nDEPLOYMENT_LOGLEVEL=3\r\n");
    ::DeleteFileW(file.c_str());
    auto writes = cap.of(FileobjectConfigfile::FN_WRITE_CFG_PARAM_STRING);
    ASSERT_EQ(writes.size(), 8u);
    EXPECT_EQ(writes[2].message, L"Writing parameter to: " + file + L" [common] DEPLOYMENT_SERVER_PORT = >8443<");
}

TEST(DeploymentStages, StrictTlsEntryIsWrittenOnlyWhenTheBlockHasIt)
{
    const std::wstring file = ownFolder() + L"/CV.deployment";
    const std::string sampleFile = "[common]\r\nDEPLOYMENT_SERVER_HOST=callvane.vazu.example.de\r\n"
                                   "DEPLOYMENT_SERVER_PROTOCOL=https\r\nDEPLOYMENT_SERVER_PORT=8443\r\n"
                                   "DEPLOYMENT_SERVER_URL_CLIENT=/vazu/portal/req?loadPortal\r\n"
                                   "DEPLOYMENT_SERVER_URL_PORTAL=/vazu/portal/req?loadPortal\r\n"
                                   "DEPLOYMENT_SERVER_URL_EVENTS=/vazu/webportlets/portal/eventViewer\r\n"
                                   "DEPLOYMENT_PRODUCT=Brightel RudEvuvor\r\nDEPLOYMENT_LOGLEVEL=3\r\n";
    // The entry as cvstamp writes it, behind the last value.
    std::string block = sampleBlock();
    block.insert(block.size() - 2, "ADDED_SERVERPARAMETER_TLS<strict>");
    ::DeleteFileW(file.c_str());
    logcapture::Capture cap;
    {
        Installer app(cap.logger());
        app.readDeployment();
        app.setContent(testsupport::widen(block));
        EXPECT_TRUE(cCV_INSTALLER::hasDeploymentEntry(app.getDeploymentContent(), cCV_INSTALLER::DEPLOYMENT_TLS));
        EXPECT_EQ(param(block, cCV_INSTALLER::DEPLOYMENT_TLS), L"strict");
        app.writeDeployment();
    }
    EXPECT_EQ(testsupport::readBytes(file), sampleFile + "DEPLOYMENT_TLS=strict\r\n");

    // Without the entry the file gets no such key.
    {
        Installer app(cap.logger());
        app.readDeployment();
        app.setContent(testsupport::widen(sampleBlock()));
        EXPECT_FALSE(cCV_INSTALLER::hasDeploymentEntry(app.getDeploymentContent(), cCV_INSTALLER::DEPLOYMENT_TLS));
        ::DeleteFileW(file.c_str());
        app.writeDeployment();
    }
    EXPECT_EQ(testsupport::readBytes(file), sampleFile);
    ::DeleteFileW(file.c_str());
}
