#include "cCV_INSTALLER.h"

#include "Busyserver.h"
#include "Deploymentkeys.h"
#include "Fileobject.h"
#include "Logger.h"
#include "Rootwindow.h"
#include "Switchrecovery.h"
#include "builtinsigners.h"
#include "cCFG.h"
#include "cDWTwndSplash.h"
#include "cEnvironment.h"
#include "cProcesshandler.h"
#include "cSignaturecheck.h"
#include "cTSPmanager.h"
#include "cWebupdater.h"
#include "cWorkerthreadSplash.h"
#include "deploymentblock.h"
#include "filetime.h"
#include "handles.h"
#include "textutil.h"

#include <future>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int APPDATA_WAIT_ROUNDS = 24;
// After a wait for a busy server the updater puts its idle status back: the splash's own wait text.
static_assert(std::wstring_view(Busyserver::STATUS_IDLE) == cDWTwndSplash::WAIT_TEXT);

} // namespace

cCV_INSTALLER::cCV_INSTALLER(DWORD waitStepMs) : waitStepMs(waitStepMs) {}

// ExitInstance normally released everything already; a test that never ran it must not leak.
cCV_INSTALLER::~cCV_INSTALLER() { releaseRunObjects(false); }

void cCV_INSTALLER::releaseRunObjects(bool announce)
{
    // The own check logs through the logger: it ends first.
    if (ownSignature.valid()) {
        ownSignature.wait();
    }
    ownFile.reset();
    if (webupdater) {
        if (announce) {
            log(LOG_DEBUG, FN_EXIT_INSTANCE, L"Shutting down updater");
        }
        webupdater.reset();
    }
    if (rootwindow) {
        if (announce) {
            log(LOG_DEBUG, FN_EXIT_INSTANCE, L"Closing Rootwindow");
        }
        rootwindow.reset();
    }
    if (logger.get()) {
        if (announce) {
            // "Additionaly" as the line has always read: log readers match it.
            log(LOG_DEBUG, FN_EXIT_INSTANCE,
                L"Shutdown cCV_INSTALLER done (Additionaly destroying: logger, mutex, visualmanager)");
        }
        logger.reset();
    }
    // Never owned by a wait (the mutex marks a run by its existence): closing is all it takes.
    instanceMutex.reset();
}

void cCV_INSTALLER::log(int32_t level, const wchar_t* function, const std::wstring& message) const
{
    if (logger.get()) {
        logger->log(level, function, message);
    }
}

std::wstring cCV_INSTALLER::executablePath() { return modulePath(); }

std::wstring cCV_INSTALLER::fileNamePrefix(const std::wstring& executableFileName)
{
    std::wstring base = executableFileName;
    const size_t dot = base.find(L'.');
    if (dot != std::wstring::npos && dot >= 1) {
        base = base.substr(0, dot);
    }
    const size_t at = base.find(PRODUCT_ABBREVIATION);
    if (at != std::wstring::npos && at >= 1) {
        return base.substr(0, at);
    }
    return {};
}

BOOL cCV_INSTALLER::InitInstance()
{
    // Stage 1: members cleared (a second run of the same object starts from nothing).
    restartRequested = 0;
    silent = false;
    exitCode = EXIT_SUCCESS_CODE;
    releaseRunObjects(false);

    // Stage 2
    if (!startLogger()) {
        // "Eighter" as the line has always read: log readers match it.
        log(LOG_FATAL, FN_INIT_INSTANCE,
            L"Eighter no possibility to retrieve the given appdata path in time or no access on it!");
        exitCode = EXIT_STARTUP_FAILED;
        return FALSE;
    }
    // Stage 3
    if (!parseCommandLine()) {
        log(LOG_FATAL, FN_INIT_INSTANCE, L"Command line parsing caused the app to stop! (This could be desired!)");
        return FALSE;
    }
    // Stage 4
    log(LOG_DEBUG, FN_INIT_INSTANCE, L"Searching for previous instance");
    if (findPreviousInstance() == 1) {
        log(LOG_WARNING, FN_INIT_INSTANCE, L"Found a previous instance (quit)");
        return FALSE;
    }
    // Stage 5
    if (!Application::InitInstance()) {
        log(LOG_DEBUG, FN_INIT_INSTANCE, L"Super returned FALSE");
        exitCode = EXIT_STARTUP_FAILED;
        return FALSE;
    }
    // Stage 6
    log(LOG_DEBUG, FN_INIT_INSTANCE, L"Checking for previous versions");
    startOwnSignatureCheck();
    checkOldCVversions();
    Switchrecovery(logger.get()).removeLeftovers(executablePath());
    // Stages 7 and 8
    log(LOG_DEBUG, FN_INIT_INSTANCE, L"Reading deployment");
    readDeployment();
    decidePublisherPin();
    log(LOG_DEBUG, FN_INIT_INSTANCE, L"Writing deployment");
    writeDeployment();
    // Stages 9 to 11
    createUpdater();
    createRootwindow();
    // An unattended run shows nothing: no splash thread at all.
    const std::unique_ptr<cWorkerthreadSplash> splash = silent ? nullptr : startSplash();
    // Stage 12
    const BOOL restarted = updateAndRestart(splash.get());
    if (splash) {
        splash->destroy();
    }
    return restarted;
}

void cCV_INSTALLER::createUpdater() { webupdater = std::make_unique<cWebupdater>(logger.get(), UPDATER_AGENT); }

void cCV_INSTALLER::createRootwindow()
{
    log(LOG_DEBUG, FN_INIT_INSTANCE, L"Creating Rootwindow");
    rootwindow = std::make_unique<Rootwindow>(logger.get(), ROOTWINDOW_TITLE);
    ::SetForegroundWindow(rootwindow->getHandle());
}

std::unique_ptr<cWorkerthreadSplash> cCV_INSTALLER::startSplash()
{
    // The thread factory hands over a new object (it ends the process when none can be made).
    std::unique_ptr<cWorkerthreadSplash> splash(cWorkerthreadSplash::create(logger.get(), rootwindow.get()));
    splash->setTexts(getDeploymentParameter(deploymentContent, DEPLOYMENT_PRODUCT), cDWTwndSplash::WAIT_TEXT);
    return splash;
}

std::wstring cCV_INSTALLER::updateRequestPath()
{
    return std::wstring(UPDATE_REQUEST_PATH) + L"&var=cvmode:on&var=cvversion:" + VERSION_LABEL;
}

BOOL cCV_INSTALLER::updateAndRestart(cWorkerthreadSplash* splash)
{
    if (splash != nullptr) {
        // The splash thread paints the progress and a wait's countdown; the updater hands over numbers and text.
        webupdater->setProgressCallback(
            [splash](uint64_t received, uint64_t expected) { splash->setProgress(received, expected); });
        webupdater->setStatusCallback([splash](const std::wstring& text) { splash->setStatus(text); });
    }
    int32_t result = cWebupdater::UPDATE_SIGNATURE_REJECTED;
    DWORD systemError = ERROR_INVALID_DATA;
    if (!pinRefusal.empty()) {
        // No program could pass: the server is not asked at all.
        log(LOG_ERROR, FN_INIT_INSTANCE, L"Update refused: " + pinRefusal);
    } else {
        configureUpdater();
        result = webupdater->updateFile(UPDATE_SERVER_USER, UPDATE_SERVER_PASSWORD,
                                        getDeploymentParameter(deploymentContent, DEPLOYMENT_SERVER_PROTOCOL),
                                        getDeploymentParameter(deploymentContent, DEPLOYMENT_SERVER_HOST),
                                        getDeploymentParameter(deploymentContent, DEPLOYMENT_SERVER_PORT),
                                        updateRequestPath(), UPDATE_CONTENT_TYPE, executableFullPath,
                                        UPDATE_COOKIE_REQUIRED, UPDATE_ONLY_IF_NEWER, UPDATE_COOKIE_NAME);
        systemError = ::GetLastError();
    }
    webupdater->setProgressCallback(nullptr);
    webupdater->setStatusCallback(nullptr);

    if (result == cWebupdater::UPDATE_DONE) {
        if (restartUpdated()) {
            return TRUE;
        }
        log(LOG_ERROR, FN_INIT_INSTANCE, L"Unable to restart");
        exitCode = EXIT_RESTART_FAILED;
        return FALSE;
    }
    if (result == cWebupdater::UPDATE_ALREADY_CURRENT) {
        // This very build is the current one: nothing was switched, the run ends without a restart.
        return FALSE;
    }
    const std::wstring reason =
        textutil::format(L"Unable to check for update (reason %i - %i)", result, static_cast<int>(systemError));
    if (!silent && ::MessageBoxW(nullptr, UPDATE_FAILED_TEXT, UPDATE_FAILED_CAPTION, MB_OK | MB_ICONERROR) == 0) {
        log(LOG_ERROR, FN_INIT_INSTANCE,
            textutil::format(L"The error message could not be shown (system error %lu)", ::GetLastError()));
    }
    log(LOG_ERROR, FN_INIT_INSTANCE, reason);
    exitCode = result;
    return FALSE;
}

void cCV_INSTALLER::configureUpdater()
{
    // Nobody is there to answer a certificate or proxy-credential dialog: such problems end the update.
    webupdater->setUnattended(silent);
    if (hasDeploymentEntry(deploymentContent, DEPLOYMENT_TLS)) {
        // The entry asks for more safety: a value other than "strict" (not written by cvstamp)
        // does not turn it into less.
        const std::wstring mode = getDeploymentParameter(deploymentContent, DEPLOYMENT_TLS);
        if (mode != L"strict") {
            log(LOG_WARNING, FN_INIT_INSTANCE,
                L"Unknown TLS mode \"" + mode + L"\" in the deployment, strict TLS is used");
        }
        webupdater->setStrictTls(true);
        log(LOG_DEBUG, FN_INIT_INSTANCE, L"Strict TLS: a certificate problem ends the update");
    }
    // The version this code was built as, not one read from a file: nothing on disk can lower it.
    webupdater->setInstalledVersion(FIXED_VERSION);
    if (publisherPin) {
        webupdater->setSignerPin(*publisherPin);
    } else if (hasDeploymentEntry(deploymentContent, DEPLOYMENT_SIGNER)) {
        // A malformed entry of an unsigned installer's block: the updater accepts nothing.
        webupdater->setSignerPin(getDeploymentParameter(deploymentContent, DEPLOYMENT_SIGNER));
    }
}

bool cCV_INSTALLER::restartUpdated()
{
    std::wstring userName;
    {
        cEnvironment environment(logger.get());
        userName = environment.getEnvironmentVariable(cEnvironment::ENV_USERNAME);
    }
    cProcesshandler handler(logger.get(), executableFullPath, userName);
    // An unattended run hands its mode on: the restarted program shows nothing either.
    if (handler.startProcess(silent ? std::wstring(OPTION_RESTART) + L" " + OPTION_SILENT : OPTION_RESTART)) {
        return true;
    }
    const unsigned long error = handler.getStartError();
    log(LOG_DEBUG, FN_INIT_INSTANCE,
        error != 0 ? textutil::format(L"The restart was refused (system error %lu)", error)
                   : std::wstring(L"The restarted program was not seen running"));
    return false;
}

bool cCV_INSTALLER::startLogger()
{
    bool result = true;

    const Fileobject self(executablePath());
    const std::wstring exeFolder = self.getPath();
    const std::wstring prefix = fileNamePrefix(self.getFilename());

    std::wstring appdata = cEnvironment::readVariable(L"APPDATA");
    for (int round = 0; appdata.empty() && round < APPDATA_WAIT_ROUNDS; ++round) {
        ::Sleep(waitStepMs);
        appdata = cEnvironment::readVariable(L"APPDATA");
    }

    std::wstring remembered;
    std::wstring logFolder;
    std::wstring awaited;
    if (appdata.empty()) {
        remembered = L"Unable to get APPDATA of current user in time!";
        logFolder = exeFolder;
        awaited = exeFolder;
        result = false;
    } else {
        logFolder = appdata + L"/Vendra";
        awaited = appdata;
    }
    logFolder = normalizePath(logFolder);

    for (int round = 0; !folderExists(awaited) && round < APPDATA_WAIT_ROUNDS; ++round) {
        ::Sleep(waitStepMs);
    }

    const std::wstring logName = prefix + PRODUCT_ABBREVIATION + L".log";

    const uint64_t nanosSince1970 = filetime::nowUnixNanoseconds();
    const std::wstring instanceName =
        textutil::format(L"cCV_INSTALLER(%x)", static_cast<unsigned int>(nanosSince1970 & 0xFFFFFFFFu));

    logger = std::make_unique<Logger>(logFolder, logName, instanceName);
    log(LOG_DEBUG, FN_START_LOGGER, textutil::format(L"Starting cCV_INSTALLER version %ls", VERSION_LABEL));
    if (!remembered.empty()) {
        log(LOG_DEBUG, FN_START_LOGGER, remembered);
    }
    return result;
}

bool cCV_INSTALLER::parseCommandLine()
{
    log(LOG_DEBUG, FN_PARSE_COMMAND_LINE, L"Parsing commandline: >" + commandLine + L"<");
    // Found beside any of the others: it changes how the run shows itself, not what it does.
    if (commandLine.find(OPTION_SILENT) != std::wstring::npos) {
        silent = true;
        log(LOG_DEBUG, FN_PARSE_COMMAND_LINE, L"Silent run: no splash, no message box, no dialog");
    }
    // Substrings, case-sensitive, in this order; the first found decides.
    if (commandLine.find(OPTION_RESTART) != std::wstring::npos) {
        restartRequested = 1;
        return true;
    }
    if (commandLine.find(OPTION_INSTALL_TSP) != std::wstring::npos) {
        cTSPmanager manager(logger.get());
        if (manager.installTSP(TSP_FILE_NAME)) {
            log(LOG_DEBUG, FN_PARSE_COMMAND_LINE, L"TSP was installed!");
        } else {
            log(LOG_ERROR, FN_PARSE_COMMAND_LINE, L"TSP was NOT installed!");
            exitCode = EXIT_TSP_INSTALL_FAILED;
        }
        return false;
    }
    if (commandLine.find(OPTION_UNINSTALL_TSP) != std::wstring::npos) {
        cTSPmanager manager(logger.get());
        if (manager.uninstallTSP(TSP_FILE_NAME)) {
            log(LOG_DEBUG, FN_PARSE_COMMAND_LINE, L"TSP was uninstalled!");
        } else {
            log(LOG_ERROR, FN_PARSE_COMMAND_LINE, L"TSP was NOT uninstalled!");
            exitCode = EXIT_TSP_UNINSTALL_FAILED;
        }
        return false;
    }
    return true;
}

int32_t cCV_INSTALLER::findPreviousInstance()
{
    // The mutex is created, never waited for: its existence marks a running installer.
    auto create = [this]() {
        instanceMutex.reset(::CreateMutexW(nullptr, FALSE, INSTANCE_MUTEX_NAME));
        const DWORD error = ::GetLastError();
        return instanceMutex.valid() && (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED);
    };

    if (restartRequested != 1) {
        if (create()) {
            log(LOG_FATAL, FN_FIND_PREVIOUS_INSTANCE, L"Found a running instance!");
            return 1;
        }
        // "prevoius" as the line has always read: log readers match it.
        log(LOG_DEBUG, FN_FIND_PREVIOUS_INSTANCE, L"No prevoius instance found");
        return 0;
    }

    log(LOG_DEBUG, FN_FIND_PREVIOUS_INSTANCE, L"Waiting for previous instance to stop");
    bool seenExisting = false;
    for (;;) {
        if (create()) {
            seenExisting = true;
            instanceMutex.reset();
            ::Sleep(1);
            continue;
        }
        if (instanceMutex.valid() || !seenExisting) {
            break;
        }
        ::Sleep(1);
    }
    log(LOG_DEBUG, FN_FIND_PREVIOUS_INSTANCE, L"No previous instance running");
    return 0;
}

int cCV_INSTALLER::ExitInstance()
{
    releaseRunObjects(true);
    const int loopCode = Application::ExitInstance();
    // The run's own verdict comes first; after a restart it is 0 and the loop's code stands.
    return exitCode != EXIT_SUCCESS_CODE ? exitCode : loopCode;
}

void cCV_INSTALLER::checkOldCVversions()
{
    // A process that keeps coming back (a watchdog restarts it) is given up after this many stops.
    static constexpr int MAX_STOPS_PER_EXECUTABLE = 20;
    struct OldVersion {
        const wchar_t* executable;
        int generation;
    };
    static const OldVersion OLD_VERSIONS[] = {{L"rezaroz.exe", 2}, {L"mxcallctrl.exe", 2}, {L"mx_hotkey.exe", 1}};

    const std::wstring user = cEnvironment(logger.get()).getEnvironmentVariable(cEnvironment::ENV_USERNAME);

    for (const OldVersion& old : OLD_VERSIONS) {
        // Every process of the executable is stopped in turn; one that refuses ends the series.
        for (int stops = 0;; ++stops) {
            std::unique_ptr<cProcesshandler> process = cProcesshandler::findProcess(logger.get(), old.executable, user);
            if (!process) {
                log(LOG_DEBUG, FN_CHECK_OLD_CV_VERSIONS,
                    textutil::format(L"CV%d: %ls is not running", old.generation, old.executable));
                break;
            }
            if (stops == MAX_STOPS_PER_EXECUTABLE) {
                log(LOG_ERROR, FN_CHECK_OLD_CV_VERSIONS,
                    textutil::format(L"%ls still running after %d stops - giving up on it", old.executable, stops));
                break;
            }
            log(LOG_DEBUG, FN_CHECK_OLD_CV_VERSIONS,
                textutil::format(L"Trying to stop Callvane %d (%ls is running)", old.generation, old.executable));
            const bool stopped = process->stopProcess();
            process.reset();
            if (!stopped) {
                log(LOG_DEBUG, FN_CHECK_OLD_CV_VERSIONS, textutil::format(L"%ls not stopped", old.executable));
                break;
            }
            log(LOG_DEBUG, FN_CHECK_OLD_CV_VERSIONS, textutil::format(L"%ls stopped", old.executable));
        }
    }
}

std::wstring cCV_INSTALLER::deploymentMarker() { return portable::deploymentMarker(); }

std::wstring cCV_INSTALLER::readDeploymentBlock(const std::wstring& fullPath)
{
    return Ownfile::read(fullPath)->deploymentBlock();
}

bool cCV_INSTALLER::hasDeploymentEntry(const std::wstring& content, const std::wstring& key)
{
    return Deploymentkeys::entry(content, key).has_value();
}

std::wstring cCV_INSTALLER::getDeploymentParameter(const std::wstring& content, const std::wstring& key)
{
    return Deploymentkeys::entry(content, key).value_or(std::wstring());
}

void cCV_INSTALLER::readDeployment()
{
    {
        const Fileobject self(executablePath());
        executableFullPath = self.getFullPath();
        deploymentFileName = fileNamePrefix(self.getFilename()) + PRODUCT_ABBREVIATION + L".deployment";
    }

    ownFile = ownFile ? ownFile : Ownfile::read(executableFullPath); // stage 6 read it in a run
    deploymentContent = ownFile->deploymentBlock();
    if (!deploymentContent.empty()) {
        log(LOG_DEBUG, FN_INIT_INSTANCE, L"Deployment is: " + deploymentContent);
    } else if (ownFile->readable()) { // an unreadable file: the pin decision's refusal says so
        log(LOG_FATAL, FN_INIT_INSTANCE, L"This executable has no deployment attached!");
    }
}

void cCV_INSTALLER::writeDeployment()
{
    cCFG cfg(logger.get(), deploymentFileName);
    Deploymentkeys::write(cfg, deploymentContent);
}

cCV_INSTALLER::OwnSignature cCV_INSTALLER::checkOwnSignature(const Ownfile& file, Logger* logger)
{
    return file.checkSignature(logger, FN_CHECK_OWN_SIGNATURE);
}

void cCV_INSTALLER::startOwnSignatureCheck()
{
    // Off the start-up's path, on the bytes stage 7 reads the block from (the image digest is the
    // costly part; crypt32 loads only for a key the own RSA check does not take).
    ownFile = Ownfile::read(Fileobject(executablePath()).getFullPath());
    ownSignature = std::async(std::launch::async,
                              [own = ownFile, logger = logger.get()]() { return checkOwnSignature(*own, logger); });
}

void cCV_INSTALLER::decidePublisherPin()
{
    std::optional<std::wstring> signerEntry;
    if (hasDeploymentEntry(deploymentContent, DEPLOYMENT_SIGNER)) {
        signerEntry = getDeploymentParameter(deploymentContent, DEPLOYMENT_SIGNER);
    }
    const OwnSignature own = ownSignature.valid()
                                 ? ownSignature.get()
                                 : checkOwnSignature(ownFile ? *ownFile : *Ownfile::read(executableFullPath));
    Publisherpin::Decision decision = Publisherpin::decide(signerEntry, own, builtInSigners());
    publisherPin = std::move(decision.keys);
    pinRefusal = std::move(decision.refusal);
    log(LOG_MESSAGE, FN_DECIDE_PUBLISHER_PIN, decision.announcement);
}
