#include "cCV_INSTALLER.h"

#include "Fileobject.h"
#include "Logger.h"
#include "Rootwindow.h"
#include "builtinsigners.h"
#include "cCFG.h"
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

#include <algorithm>
#include <future>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int APPDATA_WAIT_ROUNDS = 24;

std::wstring readEnvironment(const wchar_t* name)
{
    std::vector<wchar_t> buffer(512);
    for (;;) {
        const DWORD got = ::GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (got == 0) {
            return {};
        }
        if (got < buffer.size()) {
            return std::wstring(buffer.data(), got);
        }
        buffer.resize(got + 1);
    }
}

} // namespace

cCV_INSTALLER::cCV_INSTALLER(DWORD waitStepMs) : waitStepMs(waitStepMs) {}

// ExitInstance normally released everything already; a test that never ran it must not leak.
cCV_INSTALLER::~cCV_INSTALLER() { releaseRunObjects(false); }

void cCV_INSTALLER::releaseRunObjects(bool announce)
{
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::ExitInstance";
    // The own check logs through the logger: it ends first.
    if (ownSignature.valid()) {
        ownSignature.wait();
    }
    if (webupdater) {
        if (announce) {
            log(LOG_DEBUG, FN, L"Shutting down updater");
        }
        webupdater.reset();
    }
    if (rootwindow) {
        if (announce) {
            log(LOG_DEBUG, FN, L"Closing Rootwindow");
        }
        rootwindow.reset();
    }
    if (logger.get()) {
        if (announce) {
            // "Additionaly" as the line has always read: log readers match it.
            log(LOG_DEBUG, FN, L"Shutdown cCV_INSTALLER done (Additionaly destroying: logger, mutex, visualmanager)");
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
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::InitInstance";

    // Stage 1: members cleared (a second run of the same object starts from nothing).
    restartRequested = 0;
    releaseRunObjects(false);

    // Stage 2
    if (!startLogger()) {
        // "Eighter" as the line has always read: log readers match it.
        log(LOG_FATAL, FN, L"Eighter no possibility to retrieve the given appdata path in time or no access on it!");
        return FALSE;
    }
    // Stage 3
    if (!parseCommandLine()) {
        log(LOG_FATAL, FN, L"Command line parsing caused the app to stop! (This could be desired!)");
        return FALSE;
    }
    // Stage 4
    log(LOG_DEBUG, FN, L"Searching for previous instance");
    if (findPreviousInstance() == 1) {
        log(LOG_WARNING, FN, L"Found a previous instance (quit)");
        return FALSE;
    }
    // Stage 5
    if (!Application::InitInstance()) {
        log(LOG_DEBUG, FN, L"Super returned FALSE");
        return FALSE;
    }
    // Stage 6
    log(LOG_DEBUG, FN, L"Checking for previous versions");
    startOwnSignatureCheck();
    checkOldCVversions();
    // Stages 7 and 8
    log(LOG_DEBUG, FN, L"Reading deployment");
    readDeployment();
    decidePublisherPin();
    log(LOG_DEBUG, FN, L"Writing deployment");
    writeDeployment();
    // Stages 9 to 11
    createUpdater();
    createRootwindow();
    const std::unique_ptr<cWorkerthreadSplash> splash = startSplash();
    // Stage 12
    const BOOL restarted = updateAndRestart(splash.get());
    splash->destroy();
    return restarted;
}

void cCV_INSTALLER::createUpdater() { webupdater = std::make_unique<cWebupdater>(logger.get(), UPDATER_AGENT); }

void cCV_INSTALLER::createRootwindow()
{
    log(LOG_DEBUG, L"cCV_INSTALLER::InitInstance", L"Creating Rootwindow");
    rootwindow = std::make_unique<Rootwindow>(logger.get(), ROOTWINDOW_TITLE);
    ::SetForegroundWindow(rootwindow->getHandle());
}

std::unique_ptr<cWorkerthreadSplash> cCV_INSTALLER::startSplash()
{
    // The thread factory hands over a new object (it ends the process when none can be made).
    std::unique_ptr<cWorkerthreadSplash> splash(cWorkerthreadSplash::create(logger.get(), rootwindow.get()));
    splash->setTexts(getDeploymentParameter(deploymentContent, DEPLOYMENT_PRODUCT), L"Please wait");
    return splash;
}

std::wstring cCV_INSTALLER::updateRequestPath()
{
    return std::wstring(UPDATE_REQUEST_PATH) + L"&var=cvmode:on&var=cvversion:" + VERSION_LABEL;
}

BOOL cCV_INSTALLER::updateAndRestart(cWorkerthreadSplash* splash)
{
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::InitInstance";

    if (splash != nullptr) {
        // The splash thread paints the download's progress; the updater only hands over numbers.
        webupdater->setProgressCallback(
            [splash](uint64_t received, uint64_t expected) { splash->setProgress(received, expected); });
    }
    cWebupdater::UpdateResult result;
    if (!pinRefusal.empty()) {
        // No program could pass: the server is not asked at all.
        log(LOG_ERROR, FN, L"Update refused: " + pinRefusal);
        result = {cWebupdater::UPDATE_SIGNATURE_REJECTED, static_cast<DWORD>(ERROR_INVALID_DATA)};
    } else {
        if (hasDeploymentEntry(deploymentContent, DEPLOYMENT_TLS)) {
            // The entry asks for more safety: a value other than "strict" (not written by cvstamp)
            // does not turn it into less.
            const std::wstring mode = getDeploymentParameter(deploymentContent, DEPLOYMENT_TLS);
            if (mode != L"strict") {
                log(LOG_WARNING, FN, L"Unknown TLS mode \"" + mode + L"\" in the deployment, strict TLS is used");
            }
            webupdater->setStrictTls(true);
            log(LOG_DEBUG, FN, L"Strict TLS: a certificate problem ends the update");
        }
        if (publisherPin) {
            webupdater->setSignerPin(*publisherPin);
        } else if (hasDeploymentEntry(deploymentContent, DEPLOYMENT_SIGNER)) {
            // A malformed entry of an unsigned installer's block: the updater accepts nothing.
            webupdater->setSignerPin(getDeploymentParameter(deploymentContent, DEPLOYMENT_SIGNER));
        }
        result = webupdater->updateFile(L"", L"", getDeploymentParameter(deploymentContent, DEPLOYMENT_SERVER_PROTOCOL),
                                        getDeploymentParameter(deploymentContent, DEPLOYMENT_SERVER_HOST),
                                        getDeploymentParameter(deploymentContent, DEPLOYMENT_SERVER_PORT),
                                        updateRequestPath(), UPDATE_CONTENT_TYPE, executableFullPath, 0, 0,
                                        UPDATE_COOKIE_NAME);
    }
    webupdater->setProgressCallback(nullptr);

    if (result.code == cWebupdater::UPDATE_DONE) {
        std::wstring userName;
        {
            cEnvironment environment(logger.get());
            userName = environment.getEnvironmentVariable(cEnvironment::ENV_USERNAME);
        }
        bool started = false;
        {
            cProcesshandler handler(logger.get(), executableFullPath, userName);
            started = handler.startProcess(OPTION_RESTART);
        }
        if (started) {
            return TRUE;
        }
        log(LOG_ERROR, FN, L"Unable to restart");
        return FALSE;
    }

    if (result.code == cWebupdater::UPDATE_ALREADY_CURRENT) {
        // This very build is the current one: nothing was switched, the run ends without a restart.
        return FALSE;
    }

    const std::wstring reason = textutil::format(L"Unable to check for update (reason %i - %i)", result.code,
                                                 static_cast<int>(result.systemError));
    ::MessageBoxW(nullptr, UPDATE_FAILED_TEXT, L"Error", MB_OK | MB_ICONERROR);
    log(LOG_ERROR, FN, reason);
    return FALSE;
}

bool cCV_INSTALLER::startLogger()
{
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::startLogger";
    bool result = true;

    const Fileobject self(executablePath());
    const std::wstring exeFolder = self.getPath();
    const std::wstring prefix = fileNamePrefix(self.getFilename());

    std::wstring appdata = readEnvironment(L"APPDATA");
    for (int round = 0; appdata.empty() && round < APPDATA_WAIT_ROUNDS; ++round) {
        ::Sleep(waitStepMs);
        appdata = readEnvironment(L"APPDATA");
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
    log(LOG_DEBUG, FN, textutil::format(L"Starting cCV_INSTALLER version %ls", VERSION_LABEL));
    if (!remembered.empty()) {
        log(LOG_DEBUG, FN, remembered);
    }
    return result;
}

bool cCV_INSTALLER::parseCommandLine()
{
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::parseCommandLine";
    log(LOG_DEBUG, FN, L"Parsing commandline: >" + commandLine + L"<");
    // Substrings, case-sensitive, in this order; the first found decides.
    if (commandLine.find(OPTION_RESTART) != std::wstring::npos) {
        restartRequested = 1;
        return true;
    }
    if (commandLine.find(OPTION_INSTALL_TSP) != std::wstring::npos) {
        cTSPmanager manager(logger.get());
        if (manager.installTSP(TSP_FILE_NAME)) {
            log(LOG_DEBUG, FN, L"TSP was installed!");
        } else {
            log(LOG_ERROR, FN, L"TSP was NOT installed!");
        }
        return false;
    }
    if (commandLine.find(OPTION_UNINSTALL_TSP) != std::wstring::npos) {
        cTSPmanager manager(logger.get());
        if (manager.uninstallTSP(TSP_FILE_NAME)) {
            log(LOG_DEBUG, FN, L"TSP was uninstalled!");
        } else {
            log(LOG_ERROR, FN, L"TSP was NOT uninstalled!");
        }
        return false;
    }
    return true;
}

int32_t cCV_INSTALLER::findPreviousInstance()
{
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::findPreviousInstance";
    // The mutex is created, never waited for: its existence marks a running installer.
    auto create = [this]() {
        instanceMutex.reset(::CreateMutexW(nullptr, FALSE, INSTANCE_MUTEX_NAME));
        const DWORD error = ::GetLastError();
        return instanceMutex.valid() && (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED);
    };

    if (restartRequested != 1) {
        if (create()) {
            log(LOG_FATAL, FN, L"Found a running instance!");
            return 1;
        }
        // "prevoius" as the line has always read: log readers match it.
        log(LOG_DEBUG, FN, L"No prevoius instance found");
        return 0;
    }

    log(LOG_DEBUG, FN, L"Waiting for previous instance to stop");
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
    log(LOG_DEBUG, FN, L"No previous instance running");
    return 0;
}

int cCV_INSTALLER::ExitInstance()
{
    releaseRunObjects(true);
    return Application::ExitInstance();
}

void cCV_INSTALLER::checkOldCVversions()
{
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::checkOldCVversions";
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
                log(LOG_DEBUG, FN, textutil::format(L"CV%d: %ls is not running", old.generation, old.executable));
                break;
            }
            if (stops == MAX_STOPS_PER_EXECUTABLE) {
                log(LOG_ERROR, FN,
                    textutil::format(L"%ls still running after %d stops - giving up on it", old.executable, stops));
                break;
            }
            log(LOG_DEBUG, FN,
                textutil::format(L"Trying to stop Callvane %d (%ls is running)", old.generation, old.executable));
            const bool stopped = process->stopProcess();
            process.reset();
            if (!stopped) {
                log(LOG_DEBUG, FN, textutil::format(L"%ls not stopped", old.executable));
                break;
            }
            log(LOG_DEBUG, FN, textutil::format(L"%ls stopped", old.executable));
        }
    }
}

std::wstring cCV_INSTALLER::deploymentMarker() { return portable::deploymentMarker(); }

std::wstring cCV_INSTALLER::readDeploymentBlock(const std::wstring& fullPath)
{
    const std::wstring text = Fileobject(fullPath).readFile();
    return std::wstring(portable::deploymentBlock(text));
}

namespace {
// Configuration key of the .deployment file -> key word of the block entry.
const struct {
    const wchar_t* key;
    const wchar_t* word;
} DEPLOYMENT_WORDS[] = {
    {cCV_INSTALLER::DEPLOYMENT_SERVER_PROTOCOL, L"PROTOCOL"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_HOST, L"HOST"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_PORT, L"PORT"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_URL_PORTAL, L"PORTAL"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_URL_CLIENT, L"CLIENT"},
    {cCV_INSTALLER::DEPLOYMENT_SERVER_URL_EVENTS, L"EVENTS"},
    {cCV_INSTALLER::DEPLOYMENT_PRODUCT, L"PRODUCT"},
    {cCV_INSTALLER::DEPLOYMENT_LOGLEVEL, L"LOGLEVEL"},
    {cCV_INSTALLER::DEPLOYMENT_SIGNER, L"SIGNER"},
    {cCV_INSTALLER::DEPLOYMENT_TLS, L"TLS"},
};

std::optional<std::wstring> deploymentEntry(const std::wstring& content, const std::wstring& key)
{
    for (const auto& entry : DEPLOYMENT_WORDS) {
        if (key == entry.key) {
            return portable::readDeploymentEntry(content, entry.word);
        }
    }
    return std::nullopt;
}
} // namespace

bool cCV_INSTALLER::hasDeploymentEntry(const std::wstring& content, const std::wstring& key)
{
    return deploymentEntry(content, key).has_value();
}

std::wstring cCV_INSTALLER::getDeploymentParameter(const std::wstring& content, const std::wstring& key)
{
    return deploymentEntry(content, key).value_or(std::wstring());
}

void cCV_INSTALLER::readDeployment()
{
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::InitInstance";
    {
        const Fileobject self(executablePath());
        executableFullPath = self.getFullPath();
        deploymentFileName = fileNamePrefix(self.getFilename()) + PRODUCT_ABBREVIATION + L".deployment";
    }

    deploymentContent = readDeploymentBlock(executableFullPath);
    if (!deploymentContent.empty()) {
        log(LOG_DEBUG, FN, L"Deployment is: " + deploymentContent);
    } else {
        log(LOG_FATAL, FN, L"This executable has no deployment attached!");
    }
}

void cCV_INSTALLER::writeDeployment()
{
    static const wchar_t* const KEYS[8] = {DEPLOYMENT_SERVER_HOST,       DEPLOYMENT_SERVER_PROTOCOL,
                                           DEPLOYMENT_SERVER_PORT,       DEPLOYMENT_SERVER_URL_CLIENT,
                                           DEPLOYMENT_SERVER_URL_PORTAL, DEPLOYMENT_SERVER_URL_EVENTS,
                                           DEPLOYMENT_PRODUCT,           DEPLOYMENT_LOGLEVEL};
    cCFG cfg(logger.get(), deploymentFileName);
    std::wstring values[8];
    for (int i = 0; i < 8; ++i) {
        values[i] = getDeploymentParameter(deploymentContent, KEYS[i]);
    }
    for (int i = 0; i < 8; ++i) {
        cfg.writeParameter(KEYS[i], values[i]);
    }
    for (const wchar_t* optional : {DEPLOYMENT_SIGNER, DEPLOYMENT_TLS}) {
        if (hasDeploymentEntry(deploymentContent, optional)) {
            cfg.writeParameter(optional, getDeploymentParameter(deploymentContent, optional));
        }
    }
}

namespace {

// Hashes as the log shows them: the first 16 hex digits of each, separated by ",".
std::wstring shortHashes(const std::vector<portable::Sha256::Digest>& keys)
{
    std::wstring text;
    for (const auto& key : keys) {
        if (!text.empty()) {
            text += L",";
        }
        const std::string hex = portable::toHex(key.data(), 8);
        text += std::wstring(hex.begin(), hex.end()) + L"...";
    }
    return text;
}

bool contains(const std::vector<portable::Sha256::Digest>& keys, const portable::Sha256::Digest& key)
{
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

} // namespace

cCV_INSTALLER::OwnSignature cCV_INSTALLER::checkOwnSignature(const std::wstring& path, Logger* logger)
{
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::checkOwnSignature";
    OwnSignature own;
    own.present = cSignaturecheck::hasSignature(path);
    if (own.present) {
        if (logger != nullptr) {
            logger->log(LOG_DEBUG, FN, L"Checking the installer's own signature");
        }
        own.outcome = cSignaturecheck::verifyFile(path);
        if (logger != nullptr) {
            logger->log(LOG_DEBUG, FN, L"Own signature checked");
        }
    }
    return own;
}

void cCV_INSTALLER::startOwnSignatureCheck()
{
    // Off the start-up's path: the check (crypt32 loaded on its first use) runs while stage 6 does.
    ownSignature =
        std::async(std::launch::async, [path = Fileobject(executablePath()).getFullPath(), logger = logger.get()]() {
            return checkOwnSignature(path, logger);
        });
}

void cCV_INSTALLER::decidePublisherPin()
{
    static constexpr const wchar_t* FN = L"cCV_INSTALLER::decidePublisherPin";
    publisherPin.reset();
    pinRefusal.clear();
    const bool blockEntry = hasDeploymentEntry(deploymentContent, DEPLOYMENT_SIGNER);
    std::vector<portable::Sha256::Digest> blockKeys;
    const bool blockKeysRead =
        blockEntry &&
        cSignaturecheck::parsePin(getDeploymentParameter(deploymentContent, DEPLOYMENT_SIGNER), &blockKeys);

    const OwnSignature own = ownSignature.valid() ? ownSignature.get() : checkOwnSignature(executableFullPath);
    if (!own.present) {
        if (!blockEntry) {
            log(LOG_MESSAGE, FN, L"No publisher pin in force (unsigned installer, no signer entry in the deployment)");
        } else if (blockKeysRead) {
            publisherPin = blockKeys;
            log(LOG_MESSAGE, FN,
                L"Publisher pin in force: " + shortHashes(blockKeys) +
                    L" (unsigned installer: the signer entry of the deployment)");
        } else {
            // The updater refuses every program with the malformed pin, as it always has.
            log(LOG_MESSAGE, FN,
                L"Publisher pin in force: none can pass (the signer entry of the deployment is malformed)");
        }
        return;
    }

    if (!own.outcome.accepted()) {
        pinRefusal = L"the installer's own signature fails its check (" + own.outcome.requirement() + L"): " +
                     own.outcome.detail;
        log(LOG_MESSAGE, FN, L"Publisher pin in force: none can pass (" + pinRefusal + L")");
        return;
    }
    std::vector<portable::Sha256::Digest> keys{own.outcome.signerKey};
    std::wstring origin = L"the installer's own signer";
    std::vector<portable::Sha256::Digest> builtIn;
    if (*builtInSigners() != '\0' && portable::parseSignerPin(builtInSigners(), &builtIn)) {
        for (const auto& key : builtIn) {
            if (!contains(keys, key)) {
                keys.push_back(key);
            }
        }
        origin += L" and the keys built in";
    }
    if (blockEntry) {
        std::vector<portable::Sha256::Digest> narrowed;
        for (const auto& key : keys) {
            if (blockKeysRead && contains(blockKeys, key)) {
                narrowed.push_back(key);
            }
        }
        keys = std::move(narrowed);
        origin += L", narrowed by the signer entry of the deployment";
        if (keys.empty()) {
            pinRefusal = blockKeysRead ? L"the signer entry of the deployment names none of the keys of the "
                                         L"installer's own publisher"
                                       : L"the signer entry of the deployment is malformed";
            log(LOG_MESSAGE, FN, L"Publisher pin in force: none can pass (" + pinRefusal + L")");
            return;
        }
    }
    publisherPin = keys;
    log(LOG_MESSAGE, FN, L"Publisher pin in force: " + shortHashes(keys) + L" (signed installer: " + origin + L")");
}
