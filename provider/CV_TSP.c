/* CV_TSP: the Callvane telephony service provider. The telephony service loads it from the system
 * folder once the installer has entered "CV_TSP.tsp" into the provider list. It negotiates the
 * service provider interface version, initialises and shuts down, and reports no line and no
 * phone devices. It keeps no state beyond what TSPI_providerInit hands it; the telephony service
 * owns the loaded module. */
#include <windows.h>
#include <tspi.h>

/* Versions of the service provider interface this provider speaks: TAPI 2.0 up to the current. */
#define CV_TSPI_LOW_VERSION 0x00020000UL
#define CV_TSPI_HIGH_VERSION 0x00030001UL

static HINSTANCE providerModule = NULL;
static ASYNC_COMPLETION completionProc = NULL;
static DWORD permanentProviderId = 0;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        providerModule = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

/* The version both sides accept: the highest one inside both ranges, or 0 when they do not meet. */
static DWORD negotiate(DWORD low, DWORD high)
{
    if (low > high || high < CV_TSPI_LOW_VERSION || low > CV_TSPI_HIGH_VERSION) {
        return 0;
    }
    return high < CV_TSPI_HIGH_VERSION ? high : CV_TSPI_HIGH_VERSION;
}

LONG TSPIAPI TSPI_lineNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                           LPDWORD lpdwTSPIVersion)
{
    DWORD version;
    if (lpdwTSPIVersion == NULL) {
        return LINEERR_INVALPOINTER;
    }
    /* No line devices: only the provider-wide negotiation before TSPI_providerInit is valid. */
    if (dwDeviceID != (DWORD)INITIALIZE_NEGOTIATION) {
        return LINEERR_BADDEVICEID;
    }
    version = negotiate(dwLowVersion, dwHighVersion);
    if (version == 0) {
        return LINEERR_INCOMPATIBLEAPIVERSION;
    }
    *lpdwTSPIVersion = version;
    return 0;
}

LONG TSPIAPI TSPI_phoneNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                            LPDWORD lpdwTSPIVersion)
{
    (void)dwDeviceID;
    (void)dwLowVersion;
    (void)dwHighVersion;
    (void)lpdwTSPIVersion;
    return PHONEERR_BADDEVICEID; /* no phone devices */
}

LONG TSPIAPI TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones,
                                      HPROVIDER hProvider, LINEEVENT lpfnLineCreateProc, PHONEEVENT lpfnPhoneCreateProc)
{
    (void)dwPermanentProviderID;
    (void)hProvider;
    (void)lpfnLineCreateProc;
    (void)lpfnPhoneCreateProc;
    if (lpdwNumLines == NULL || lpdwNumPhones == NULL) {
        return LINEERR_INVALPOINTER;
    }
    *lpdwNumLines = 0;
    *lpdwNumPhones = 0;
    return 0;
}

LONG TSPIAPI TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase,
                               DWORD dwPhoneDeviceIDBase, DWORD_PTR dwNumLines, DWORD_PTR dwNumPhones,
                               ASYNC_COMPLETION lpfnCompletionProc, LPDWORD lpdwTSPIOptions)
{
    (void)dwLineDeviceIDBase;
    (void)dwPhoneDeviceIDBase;
    (void)dwNumLines;
    (void)dwNumPhones;
    if (negotiate(dwTSPIVersion, dwTSPIVersion) == 0) {
        return LINEERR_INCOMPATIBLEAPIVERSION;
    }
    completionProc = lpfnCompletionProc;
    permanentProviderId = dwPermanentProviderID;
    if (lpdwTSPIOptions != NULL) {
        *lpdwTSPIOptions = 0;
    }
    return 0;
}

LONG TSPIAPI TSPI_providerShutdown(DWORD dwTSPIVersion, DWORD dwPermanentProviderID)
{
    (void)dwTSPIVersion;
    (void)dwPermanentProviderID;
    completionProc = NULL;
    permanentProviderId = 0;
    return 0;
}

/* The user-interface side lives in this same module. The service hands a buffer of MAX_PATH
 * characters. */
LONG TSPIAPI TSPI_providerUIIdentify(LPWSTR lpszUIDLLName)
{
    DWORD got;
    if (lpszUIDLLName == NULL) {
        return LINEERR_INVALPOINTER;
    }
    got = GetModuleFileNameW(providerModule, lpszUIDLLName, MAX_PATH);
    if (got == 0 || got >= MAX_PATH) {
        lpszUIDLLName[0] = L'\0';
        return LINEERR_OPERATIONFAILED;
    }
    return 0;
}

/* Nothing to configure, and nothing to set up or tear down when the telephony control panel adds
 * or removes the provider: the installer does both with "--installTSP" and "--uninstallTSP". */
LONG TSPIAPI TUISPI_providerConfig(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID)
{
    (void)lpfnUIDLLCallback;
    (void)hwndOwner;
    (void)dwPermanentProviderID;
    return 0;
}

LONG TSPIAPI TUISPI_providerInstall(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID)
{
    (void)lpfnUIDLLCallback;
    (void)hwndOwner;
    (void)dwPermanentProviderID;
    return 0;
}

LONG TSPIAPI TUISPI_providerRemove(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID)
{
    (void)lpfnUIDLLCallback;
    (void)hwndOwner;
    (void)dwPermanentProviderID;
    return 0;
}
