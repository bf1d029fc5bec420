#include "WindowsDlls.h"

#include <algorithm>
#include <array>

namespace {

// DLLs in System32 of every Windows 10 and 11 x64 installation, from
// Microsoft Learn: the DLL row of the Requirements tables in the Win32 API
// reference (DLLs whose functions are documented for desktop clients since
// Windows 7 or earlier and not documented as removed), and the DLL modules
// that the OneCore.lib and OneCoreUap.lib umbrella library pages list as
// introduced in 10.0.10240 ("dlls that are present on all Windows 10
// devices"). Deliberately absent: the Visual C++ runtime (vcruntime140.dll,
// msvcp140.dll) and libusb, which come with their programs, not with Windows,
// and the media DLLs that the N editions lack.
constexpr std::array WindowsDlls = {
    "activeds.dll",   "advapi32.dll", "authz.dll",    "avrt.dll",     "bcrypt.dll",   "cabinet.dll",   "cfgmgr32.dll",
    "clbcatq.dll",    "combase.dll",  "comctl32.dll", "comdlg32.dll", "coml2.dll",    "credui.dll",    "crypt32.dll",
    "cryptbase.dll",  "cryptnet.dll", "cryptui.dll",  "d2d1.dll",     "d3d11.dll",    "d3d9.dll",      "dbghelp.dll",
    "dfscli.dll",     "dhcpcsvc.dll", "difxapi.dll",  "dinput8.dll",  "dnsapi.dll",   "dsound.dll",    "dsparse.dll",
    "dsrole.dll",     "dwmapi.dll",   "dwrite.dll",   "dxgi.dll",     "fltlib.dll",   "gdi32.dll",     "gdiplus.dll",
    "glu32.dll",      "hid.dll",      "httpapi.dll",  "imagehlp.dll", "imm32.dll",    "iphlpapi.dll",  "kernel32.dll",
    "kernelbase.dll", "ktmw32.dll",   "loadperf.dll", "logoncli.dll", "mpr.dll",      "msacm32.dll",   "mscms.dll",
    "msctf.dll",      "msi.dll",      "msimg32.dll",  "msvcrt.dll",   "msvfw32.dll",  "mswsock.dll",   "ncrypt.dll",
    "netapi32.dll",   "netutils.dll", "newdev.dll",   "normaliz.dll", "nsi.dll",      "ntdll.dll",     "ntdsapi.dll",
    "odbc32.dll",     "ole32.dll",    "oleacc.dll",   "oleaut32.dll", "oledlg.dll",   "opengl32.dll",  "pdh.dll",
    "powrprof.dll",   "propsys.dll",  "psapi.dll",    "rasapi32.dll", "rpcrt4.dll",   "rstrtmgr.dll",  "samcli.dll",
    "schedcli.dll",   "sechost.dll",  "secur32.dll",  "setupapi.dll", "shcore.dll",   "shell32.dll",   "shfolder.dll",
    "shlwapi.dll",    "srvcli.dll",   "sspicli.dll",  "tapi32.dll",   "ucrtbase.dll", "urlmon.dll",    "user32.dll",
    "userenv.dll",    "usp10.dll",    "uxtheme.dll",  "version.dll",  "virtdisk.dll", "websocket.dll", "wer.dll",
    "wevtapi.dll",    "winhttp.dll",  "wininet.dll",  "winmm.dll",    "winscard.dll", "winspool.drv",  "wintrust.dll",
    "winusb.dll",     "wkscli.dll",   "wldap32.dll",  "ws2_32.dll",   "wsock32.dll",  "wtsapi32.dll",  "xmllite.dll",
};

// The KnownDLLs of every Windows 10 and 11 x64: the values under
// "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs" (the
// key that Microsoft Learn's "Dynamic-link library search order" names; it
// gives no list), less the 32-bit emulation's own, plus ntdll.dll, which the
// loader maps before anything else, and kernelbase.dll, which kernel32.dll
// brings in (a known DLL's dependents are taken from the system too).
constexpr std::array KnownDlls = {
    "advapi32.dll", "clbcatq.dll", "combase.dll",  "comdlg32.dll", "coml2.dll",    "difxapi.dll",
    "gdi32.dll",    "gdiplus.dll", "imagehlp.dll", "imm32.dll",    "kernel32.dll", "kernelbase.dll",
    "msctf.dll",    "msvcrt.dll",  "normaliz.dll", "nsi.dll",      "ntdll.dll",    "ole32.dll",
    "oleaut32.dll", "psapi.dll",   "rpcrt4.dll",   "sechost.dll",  "setupapi.dll", "shcore.dll",
    "shell32.dll",  "shlwapi.dll", "user32.dll",   "wldap32.dll",  "ws2_32.dll",
};

// The API sets that every Windows 10 and 11 x64 resolves, as the loader
// looks them up: lower case, without ".dll" and without the last "-<n>" (the
// loader ignores that part, so "api-ms-win-core-synch-l1-2-0" and "-l1-2-1"
// are one entry, and "-l1-3-0" another). From Microsoft Learn: the modules
// that the OneCore.lib and OneCoreUap.lib umbrella library pages list as
// introduced in 10.0.10240, those of the "Windows 8 API Sets" and "Windows
// 8.1 API Sets" pages (names beginning with "api-" are guaranteed to exist on
// all later Windows versions: "Windows API sets"), and the C runtime's
// api-ms-win-crt-* sets named by the C runtime reference (the UCRT is part of
// every Windows 10 and later). No ext-ms-win-* set is listed: those may be
// missing from a Windows, and none is documented for all of them.
constexpr std::array ApiSets = {
    "api-ms-win-appmodel-runtime-l1-1",
    "api-ms-win-core-com-l1-1",
    "api-ms-win-core-com-l2-1",
    "api-ms-win-core-com-midlproxystub-l1-1",
    "api-ms-win-core-comm-l1-1",
    "api-ms-win-core-console-ansi-l2-1",
    "api-ms-win-core-console-l1-1",
    "api-ms-win-core-console-l2-1",
    "api-ms-win-core-datetime-l1-1",
    "api-ms-win-core-debug-l1-1",
    "api-ms-win-core-delayload-l1-1",
    "api-ms-win-core-errorhandling-l1-1",
    "api-ms-win-core-fibers-l1-1",
    "api-ms-win-core-fibers-l2-1",
    "api-ms-win-core-file-ansi-l1-1",
    "api-ms-win-core-file-ansi-l2-1",
    "api-ms-win-core-file-l1-2",
    "api-ms-win-core-file-l2-1",
    "api-ms-win-core-firmware-l1-1",
    "api-ms-win-core-handle-l1-1",
    "api-ms-win-core-heap-l1-2",
    "api-ms-win-core-heap-l2-1",
    "api-ms-win-core-interlocked-l1-2",
    "api-ms-win-core-io-l1-1",
    "api-ms-win-core-job-l1-1",
    "api-ms-win-core-job-l2-1",
    "api-ms-win-core-largeinteger-l1-1",
    "api-ms-win-core-libraryloader-l1-1",
    "api-ms-win-core-libraryloader-l1-2",
    "api-ms-win-core-libraryloader-l2-1",
    "api-ms-win-core-localization-ansi-l1-1",
    "api-ms-win-core-localization-l1-2",
    "api-ms-win-core-localization-l2-1",
    "api-ms-win-core-localization-obsolete-l1-3",
    "api-ms-win-core-memory-l1-1",
    "api-ms-win-core-namedpipe-ansi-l1-1",
    "api-ms-win-core-namedpipe-l1-2",
    "api-ms-win-core-namespace-ansi-l1-1",
    "api-ms-win-core-namespace-l1-1",
    "api-ms-win-core-normalization-l1-1",
    "api-ms-win-core-path-l1-1",
    "api-ms-win-core-privateprofile-l1-1",
    "api-ms-win-core-processenvironment-ansi-l1-1",
    "api-ms-win-core-processenvironment-l1-2",
    "api-ms-win-core-processsnapshot-l1-1",
    "api-ms-win-core-processthreads-l1-1",
    "api-ms-win-core-processtopology-l1-1",
    "api-ms-win-core-processtopology-l1-2",
    "api-ms-win-core-profile-l1-1",
    "api-ms-win-core-psapi-ansi-l1-1",
    "api-ms-win-core-psapi-l1-1",
    "api-ms-win-core-psm-appnotify-l1-1",
    "api-ms-win-core-quirks-l1-1",
    "api-ms-win-core-realtime-l1-1",
    "api-ms-win-core-registry-l1-1",
    "api-ms-win-core-rtlsupport-l1-2",
    "api-ms-win-core-shutdown-l1-1",
    "api-ms-win-core-sidebyside-ansi-l1-1",
    "api-ms-win-core-sidebyside-l1-1",
    "api-ms-win-core-string-l1-1",
    "api-ms-win-core-string-l2-1",
    "api-ms-win-core-string-obsolete-l1-1",
    "api-ms-win-core-stringansi-l1-1",
    "api-ms-win-core-synch-ansi-l1-1",
    "api-ms-win-core-synch-l1-2",
    "api-ms-win-core-sysinfo-l1-2",
    "api-ms-win-core-systemtopology-l1-1",
    "api-ms-win-core-threadpool-l1-2",
    "api-ms-win-core-threadpool-legacy-l1-1",
    "api-ms-win-core-timezone-l1-1",
    "api-ms-win-core-util-l1-1",
    "api-ms-win-core-version-l1-1",
    "api-ms-win-core-versionansi-l1-1",
    "api-ms-win-core-windowsceip-l1-1",
    "api-ms-win-core-windowserrorreporting-l1-1",
    "api-ms-win-core-winrt-error-l1-1",
    "api-ms-win-core-winrt-l1-1",
    "api-ms-win-core-winrt-registration-l1-1",
    "api-ms-win-core-winrt-robuffer-l1-1",
    "api-ms-win-core-winrt-roparameterizediid-l1-1",
    "api-ms-win-core-winrt-string-l1-1",
    "api-ms-win-core-wow64-l1-1",
    "api-ms-win-core-xstate-l1-1",
    "api-ms-win-core-xstate-l2-1",
    "api-ms-win-crt-conio-l1-1",
    "api-ms-win-crt-convert-l1-1",
    "api-ms-win-crt-environment-l1-1",
    "api-ms-win-crt-filesystem-l1-1",
    "api-ms-win-crt-heap-l1-1",
    "api-ms-win-crt-locale-l1-1",
    "api-ms-win-crt-math-l1-1",
    "api-ms-win-crt-multibyte-l1-1",
    "api-ms-win-crt-private-l1-1",
    "api-ms-win-crt-process-l1-1",
    "api-ms-win-crt-runtime-l1-1",
    "api-ms-win-crt-stdio-l1-1",
    "api-ms-win-crt-string-l1-1",
    "api-ms-win-crt-time-l1-1",
    "api-ms-win-crt-utility-l1-1",
    "api-ms-win-devices-config-l1-1",
    "api-ms-win-devices-swdevice-l1-1",
    "api-ms-win-downlevel-advapi32-l1-1",
    "api-ms-win-downlevel-advapi32-l2-1",
    "api-ms-win-downlevel-normaliz-l1-1",
    "api-ms-win-downlevel-ole32-l1-1",
    "api-ms-win-downlevel-shell32-l1-1",
    "api-ms-win-downlevel-shlwapi-l1-1",
    "api-ms-win-downlevel-shlwapi-l2-1",
    "api-ms-win-downlevel-user32-l1-1",
    "api-ms-win-downlevel-version-l1-1",
    "api-ms-win-eventing-classicprovider-l1-1",
    "api-ms-win-eventing-consumer-l1-1",
    "api-ms-win-eventing-controller-l1-1",
    "api-ms-win-eventing-legacy-l1-1",
    "api-ms-win-eventing-provider-l1-1",
    "api-ms-win-mm-time-l1-1",
    "api-ms-win-ntuser-sysparams-l1-1",
    "api-ms-win-oobe-notification-l1-1",
    "api-ms-win-power-base-l1-1",
    "api-ms-win-power-limitsmanagement-l1-1",
    "api-ms-win-power-setting-l1-1",
    "api-ms-win-ro-typeresolution-l1-1",
    "api-ms-win-security-appcontainer-l1-1",
    "api-ms-win-security-base-ansi-l1-1",
    "api-ms-win-security-base-l1-2",
    "api-ms-win-security-credentials-l1-1",
    "api-ms-win-security-cryptoapi-l1-1",
    "api-ms-win-security-lsalookup-ansi-l2-1",
    "api-ms-win-security-lsalookup-l2-1",
    "api-ms-win-security-provider-ansi-l1-1",
    "api-ms-win-security-provider-l1-1",
    "api-ms-win-security-sddl-ansi-l1-1",
    "api-ms-win-security-sddl-l1-1",
    "api-ms-win-security-systemfunctions-l1-1",
    "api-ms-win-service-core-ansi-l1-1",
    "api-ms-win-service-core-l1-1",
    "api-ms-win-service-management-l1-1",
    "api-ms-win-service-management-l2-1",
    "api-ms-win-service-winsvc-l1-2",
    "api-ms-win-shcore-scaling-l1-1",
    "api-ms-win-shcore-stream-winrt-l1-1",
    "api-ms-win-shcore-unicodeansi-l1-1",
};

std::string LowerAscii(std::string text)
{
    for (char& letter : text) {
        if (letter >= 'A' && letter <= 'Z') {
            letter = static_cast<char>(letter - 'A' + 'a');
        }
    }
    return text;
}

template <typename List> bool Lists(const List& list, const std::string& name)
{
    return std::find(list.begin(), list.end(), name) != list.end();
}

// The name the loader looks an API set up by: up to the first dot, without
// the part after the last hyphen before it.
std::string ApiSetContract(const std::string& name)
{
    std::string contract = LowerAscii(name.substr(0, name.find('.')));
    const std::size_t hyphen = contract.rfind('-');
    return hyphen == std::string::npos ? contract : contract.substr(0, hyphen);
}

} // namespace

std::string LoaderFileName(const std::string& importName)
{
    std::string file = importName;
    if (file.find('.') == std::string::npos) {
        file += ".dll";
    }
    while (!file.empty() && (file.back() == '.' || file.back() == ' ')) {
        file.pop_back();
    }
    return file;
}

bool IsApiSetName(const std::string& importName)
{
    const std::string name = LowerAscii(importName);
    return name.size() > 4 && (name.rfind("api-", 0) == 0 || name.rfind("ext-", 0) == 0);
}

bool IsProvidedByWindows(const std::string& importName)
{
    if (IsApiSetName(importName)) {
        return Lists(ApiSets, ApiSetContract(importName));
    }
    const std::string file = LowerAscii(LoaderFileName(importName));
    return Lists(WindowsDlls, file) || Lists(KnownDlls, file);
}

bool IsKnownDll(const std::string& importName)
{
    return !IsApiSetName(importName) && Lists(KnownDlls, LowerAscii(LoaderFileName(importName)));
}
