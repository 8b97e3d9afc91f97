#include "base/platform/installfolder.h"
#include "base/platform/platform.h"
#include "base/platform/registry_windows.h"

#include <QDir>
#include <QList>

#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

namespace Platform {

bool readRegistryString(HKEY root, const QString &subKey, const QString &name, QString &value)
{
    value.clear();
    const std::wstring key = subKey.toStdWString();
    const std::wstring valueName = name.toStdWString();

    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;

    // The size includes the terminating null; a value that grows between the two calls fails the
    // second one and reads as missing.
    DWORD size = 0;
    RegGetValueW(root, key.c_str(), valueName.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size);
    QList<wchar_t> buffer(qsizetype(size / sizeof(wchar_t)) + 1, L'\0');
    DWORD bufferSize = DWORD(buffer.size() * qsizetype(sizeof(wchar_t)));
    const LSTATUS status = RegGetValueW(root, key.c_str(), valueName.c_str(), RRF_RT_REG_SZ, nullptr,
                                        buffer.data(), &bufferSize);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS)
        return false;
    value = QString::fromWCharArray(buffer.constData());
    return true;
}

QString installFolder()
{
    QString stored;
    readRegistryString(HKEY_CURRENT_USER, QStringLiteral("Software\\Corvane\\Brivelle AI"),
                       QStringLiteral("Path"), stored);
    return installFolderOrFallback(stored, QDir::toNativeSeparators(fallbackInstallFolder()));
}

QString picturesFolder()
{
    PWSTR path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_Pictures, 0, nullptr, &path);
    if (FAILED(result)) {
        // The out pointer must be freed even on failure.
        CoTaskMemFree(path);
        return QString();
    }
    const QString folder = QString::fromWCharArray(path);
    CoTaskMemFree(path);
    return folder;
}

quint64 availablePhysicalMemory()
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status))
        return 0;
    return quint64(status.ullAvailPhys);
}

int usableProcessors()
{
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    int count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process; process &= process - 1)
            ++count;
    if (count == 0)
        count = int(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    // A job object may cap the process's share of the processors' time (a container's limit).
    JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
    if (QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &rate, sizeof rate, nullptr) &&
        (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_ENABLE) &&
        (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP) && rate.CpuRate > 0) {
        const int total = int(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
        // CpuRate is the share of all processors in hundredths of a percent.
        const int capped = int((qint64(rate.CpuRate) * total + 9999) / 10000);
        count = qMin(count, qMax(capped, 1));
    }
    return qMax(count, 1);
}

qintptr lockFile(const QString &path, bool wait)
{
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    HANDLE file =
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED whole{};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (!LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &whole)) {
        CloseHandle(file);
        return -1;
    }
    return reinterpret_cast<qintptr>(file);
}

void unlockFile(qintptr handle)
{
    if (handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

void removeFileNow(const char *encodedPath)
{
    DeleteFileA(encodedPath);
}

void removeEmptyFolderNow(const char *encodedPath)
{
    RemoveDirectoryA(encodedPath);
}

QString systemName()
{
    return QStringLiteral("Windows 11");
}

bool openAddress(const QUrl &url)
{
    const std::wstring address = url.toString(QUrl::FullyEncoded).toStdWString();
    // ShellExecuteW returns a value greater than 32 on success.
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

} // namespace Platform
