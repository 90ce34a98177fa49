// cCV_INSTALLER: the installer's application object and the entry point of its own logic. One
// static instance exists (main.cpp). InitInstance runs the start-up stages on the main thread,
// each announced by a log line; ExitInstance tears down what the run created, in a fixed order,
// and its result is the process exit code. It owns the four long-lived things of a run: the
// Logger, the instance mutex, the updater and the root window (members below, released by
// releaseRunObjects in the order updater, root window, logger, mutex).
#pragma once

#include "Application.h"
#include "Logger.h"
#include "Ownfile.h"
#include "Publisherpin.h"
#include "Rootwindow.h"
#include "cAbstract.h"
#include "cSignaturecheck.h"
#include "cWebupdater.h"
#include "deploymentkeytable.h"
#include "handles.h"
#include "sha256.h"
#include "version.h"

#include <windows.h>

#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class cWorkerthreadSplash;

class cCV_INSTALLER : public Application, public cAbstract {
public:
    // The version label and its parts, made from version.h as the version resource is.
    static constexpr const wchar_t* VERSION_MAJOR = L"" CV_VERSION_MAJOR_TEXT;
    static constexpr const wchar_t* VERSION_TAG = L"" CV_VERSION_TAG_TEXT;
    static constexpr const wchar_t* VERSION_BUILD = L"" CV_VERSION_BUILD_TEXT;
    static constexpr const wchar_t* VERSION_LABEL = L"" CV_VERSION_LABEL_TEXT;
    // The fixed file version of the version resource (MAJOR.MINOR.0.BUILD): under a publisher pin,
    // no update may bring a lower one.
    static constexpr portable::FixedFileVersion::Parts FIXED_VERSION = {CV_VERSION_MAJOR, CV_VERSION_MINOR, 0,
                                                                        CV_VERSION_BUILD};
    static constexpr const wchar_t* PRODUCT_ABBREVIATION = L"CV";
    static constexpr const wchar_t* INSTANCE_MUTEX_NAME = L"cCV-3-39-QRN32-VLM6-instanceMutex";
    static constexpr const wchar_t* OPTION_RESTART = L"--restart";
    static constexpr const wchar_t* OPTION_INSTALL_TSP = L"--installTSP";
    static constexpr const wchar_t* OPTION_UNINSTALL_TSP = L"--uninstallTSP";
    // Unattended run: no splash, no message box, no dialog; the log and the exit code tell.
    static constexpr const wchar_t* OPTION_SILENT = L"--silent";
    // The process exit code. 0: a restart was started, the running build is the current one, a
    // provider option succeeded, or another instance already does the work. A failed update ends
    // with its result code (cWebupdater, 5 to 24); the other failures have codes of their own.
    static constexpr int EXIT_SUCCESS_CODE = 0;
    static constexpr int EXIT_STARTUP_FAILED = 1;        // no log folder in time, framework start-up failed
    static constexpr int EXIT_RESTART_FAILED = 3;        // the file was switched, the restart did not start
    static constexpr int EXIT_TSP_INSTALL_FAILED = 40;   // --installTSP: the provider is not installed
    static constexpr int EXIT_TSP_UNINSTALL_FAILED = 41; // --uninstallTSP: the provider is not removed
    // File name of the telephony service provider in the system folder and in the provider list.
    static constexpr const wchar_t* TSP_FILE_NAME = L"CV_TSP.tsp";
    static constexpr const wchar_t* UPDATE_REQUEST_PATH = L"/vazu/public/req?getCVupdate";
    static constexpr const wchar_t* UPDATE_CONTENT_TYPE = L"application";
    static constexpr const wchar_t* UPDATE_COOKIE_NAME = L"TRBCreds";
    static constexpr const wchar_t* UPDATER_AGENT = L"Callvane installer - Webupdate";
    static constexpr const wchar_t* ROOTWINDOW_TITLE = L"Callvane Rootwindow";
    // The fixed arguments of the update call: no server account (the web client's cookie is
    // looked for but not required) and an unconditional request.
    static constexpr const wchar_t* UPDATE_SERVER_USER = L"";
    static constexpr const wchar_t* UPDATE_SERVER_PASSWORD = L"";
    static constexpr int32_t UPDATE_COOKIE_REQUIRED = 0;
    static constexpr int32_t UPDATE_ONLY_IF_NEWER = 0;
    static constexpr const wchar_t* UPDATE_FAILED_TEXT =
        L"Unable to download the Callvane! Installer will be closed. Make sure the Installer has Internet Access and "
        L"run the Installer again.";
    static constexpr const wchar_t* UPDATE_FAILED_CAPTION = L"Error";

    // The function names its log lines carry.
    static constexpr const wchar_t* FN_INIT_INSTANCE = L"cCV_INSTALLER::InitInstance";
    static constexpr const wchar_t* FN_EXIT_INSTANCE = L"cCV_INSTALLER::ExitInstance";
    static constexpr const wchar_t* FN_START_LOGGER = L"cCV_INSTALLER::startLogger";
    static constexpr const wchar_t* FN_PARSE_COMMAND_LINE = L"cCV_INSTALLER::parseCommandLine";
    static constexpr const wchar_t* FN_FIND_PREVIOUS_INSTANCE = L"cCV_INSTALLER::findPreviousInstance";
    static constexpr const wchar_t* FN_CHECK_OLD_CV_VERSIONS = L"cCV_INSTALLER::checkOldCVversions";
    static constexpr const wchar_t* FN_CHECK_OWN_SIGNATURE = L"cCV_INSTALLER::checkOwnSignature";
    static constexpr const wchar_t* FN_DECIDE_PUBLISHER_PIN = L"cCV_INSTALLER::decidePublisherPin";

    // waitStepMs: the pause between the start-up tests for the application-data folder (5000 ms
    // in the product; tests pass a shorter one).
    explicit cCV_INSTALLER(DWORD waitStepMs = 5000);
    ~cCV_INSTALLER() override;
    int32_t getClassKind() const override { return 0; }

    BOOL InitInstance() override;
    int ExitInstance() override;

    bool startLogger();
    int32_t findPreviousInstance();
    bool parseCommandLine();
    // Stage 6: stops the running processes of the older product generations that belong to the
    // current user, logging each step; never stops start-up.
    void checkOldCVversions();

    // Deployment block (stages 7 and 8). The keys of the .deployment file, section "common", that the
    // installer itself reads (the table deploymentkeytable holds every key, its entry and its order).
    static constexpr const wchar_t* DEPLOYMENT_SERVER_HOST = portable::deploymentConfigurationKey(L"HOST");
    static constexpr const wchar_t* DEPLOYMENT_SERVER_PROTOCOL = portable::deploymentConfigurationKey(L"PROTOCOL");
    static constexpr const wchar_t* DEPLOYMENT_SERVER_PORT = portable::deploymentConfigurationKey(L"PORT");
    static constexpr const wchar_t* DEPLOYMENT_SERVER_URL_CLIENT = portable::deploymentConfigurationKey(L"CLIENT");
    static constexpr const wchar_t* DEPLOYMENT_SERVER_URL_PORTAL = portable::deploymentConfigurationKey(L"PORTAL");
    static constexpr const wchar_t* DEPLOYMENT_SERVER_URL_EVENTS = portable::deploymentConfigurationKey(L"EVENTS");
    static constexpr const wchar_t* DEPLOYMENT_PRODUCT = portable::deploymentConfigurationKey(L"PRODUCT");
    static constexpr const wchar_t* DEPLOYMENT_LOGLEVEL = portable::deploymentConfigurationKey(L"LOGLEVEL");
    // The publisher pin (optional entry): written only when the block has the entry, and while
    // present only programs signed by a pinned key are accepted by the update.
    static constexpr const wchar_t* DEPLOYMENT_SIGNER = portable::deploymentConfigurationKey(L"SIGNER");
    // Strict TLS (optional entry, value "strict"): written only when the block has the entry, and
    // while present every certificate problem of the update exchange ends the update.
    static constexpr const wchar_t* DEPLOYMENT_TLS = portable::deploymentConfigurationKey(L"TLS");
    // The marker that opens a deployment block, joined at run time from two pieces: the whole
    // text must never stand in this executable, since the reader takes its first occurrence.
    static std::wstring deploymentMarker();
    // The block text of a file: from the first marker to the end, one character per byte (code
    // page 1252, whatever the thread's code page), or empty (also when the file cannot be read).
    static std::wstring readDeploymentBlock(const std::wstring& fullPath);
    // The value of one configuration key in a block; empty for an unknown key, a missing entry
    // or one without its closing ">".
    static std::wstring getDeploymentParameter(const std::wstring& content, const std::wstring& key);
    // Whether the block has the entry of a key at all (an entry may hold an empty value).
    static bool hasDeploymentEntry(const std::wstring& content, const std::wstring& key);
    // Stage 7: reads the own executable's block (from ownFile, read here unless stage 6 did) into deploymentContent and
    // names the .deployment file; stage 8: writes the block's values into it through cCFG (Deploymentkeys: the eight
    // required keys, and each optional one, such as the signer pin and the TLS mode, when the block has it).
    void readDeployment();
    void writeDeployment();
    // Stage 7, after the block: which publisher pin the update keeps (Publisherpin), logged at
    // level 4. A signed installer checks its own signature with the download's check.
    void decidePublisherPin();
    using OwnSignature = Publisherpin::OwnSignature;
    // logger: for the lines that frame the check (none when null). An unreadable file is neither
    // signed nor unsigned: its result says why it could not be read.
    static OwnSignature checkOwnSignature(const Ownfile& file, Logger* logger = nullptr);
    // Stage 6: reads the own file (ownFile) and starts that check on a thread of its own;
    // decidePublisherPin takes its result (and checks on the spot when none was started).
    void startOwnSignatureCheck();
    // The pin decided: no pin (nullopt), or the keys; refusal is set when every update is refused.
    const std::optional<std::vector<portable::Sha256::Digest>>& getPublisherPin() const { return publisherPin; }
    const std::wstring& getPinRefusal() const { return pinRefusal; }
    const std::wstring& getDeploymentContent() const { return deploymentContent; }
    const std::wstring& getDeploymentFileName() const { return deploymentFileName; }
    const std::wstring& getExecutableFullPath() const { return executableFullPath; }

    // The file-name prefix rule: the base name's text before "CV" (empty when "CV" is missing
    // or stands first).
    // The path of the update request: the fixed request, the client mode and this build's version.
    static std::wstring updateRequestPath();

    static std::wstring fileNamePrefix(const std::wstring& executableFileName);
    // Full path of the running executable, normalised (at most 260 characters are read).
    static std::wstring executablePath();

    Logger* getLogger() const { return logger.get(); }
    int32_t isRestartRequested() const { return restartRequested; }
    bool isSilent() const { return silent; }
    // The exit code the run has decided so far (ExitInstance returns it).
    int getExitCode() const { return exitCode; }
    void setCommandLine(const std::wstring& text) { commandLine = text; }

protected:
    void log(int32_t level, const wchar_t* function, const std::wstring& message) const;

    // Stages 9 to 11: the updater, the hidden root window, the splash thread showing the product.
    void createUpdater();
    void createRootwindow();
    std::unique_ptr<cWorkerthreadSplash> startSplash();
    // Stage 12: ask the server, swap the file in and restart it; TRUE only when the restart started.
    BOOL updateAndRestart(cWorkerthreadSplash* splash);
    // The updater's strict TLS and publisher pin as the deployment and the pin decision ask.
    void configureUpdater();
    // Starts the updated file with "--restart" as the current user; true when it started.
    bool restartUpdated();
    // Releases the run's objects in the fixed order (updater, root window, logger, instance
    // mutex); `announce` writes the shutdown lines as ExitInstance does.
    void releaseRunObjects(bool announce);

    handles::Kernel instanceMutex;
    int32_t restartRequested = 0;
    bool silent = false; // --silent: nothing is shown, nothing waits for a person
    int exitCode = EXIT_SUCCESS_CODE;
    std::unique_ptr<Logger> logger;
    std::unique_ptr<Rootwindow> rootwindow;
    std::unique_ptr<cWebupdater> webupdater;
    std::wstring deploymentContent;                                    // the block read in stage 7, empty without one
    std::wstring deploymentFileName;                                   // prefix + "CV.deployment"
    std::wstring executableFullPath;                                   // the running executable, "/" separators
    std::optional<std::vector<portable::Sha256::Digest>> publisherPin; // decided in stage 7
    std::wstring pinRefusal;                // why every update is refused; empty when updates may pass
    std::future<OwnSignature> ownSignature; // the own check started in stage 6
    std::shared_ptr<const Ownfile> ownFile; // the own file's bytes, read once (stage 6 or 7)

private:
    DWORD waitStepMs;
};
