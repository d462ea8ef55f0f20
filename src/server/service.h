// CQ5DMServiceClass: the object a client gets from the class factory. Its 16
// operations live in one source unit per group (devices, power, driver
// files, ports, processes, launching, registry).
#pragma once

#include <windows.h>
#include <objbase.h>

#include "q5dm.h"

class CQ5DMServiceClass final : public IQ5DMService {
public:
    // Count 1, no port map, one server-process reference taken.
    static CQ5DMServiceClass* Create();
    // Frees what the object owns and drops its server-process reference;
    // used by the last Release and by a CreateInstance whose query failed.
    static void Destroy(CQ5DMServiceClass* object);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IQ5DMService, in slot order
    HRESULT STDMETHODCALLTYPE InstallDriver(const wchar_t* deviceInstanceId, const wchar_t* infPath, LONG noFileCopy) override;
    HRESULT STDMETHODCALLTYPE RemoveDriver(const wchar_t* deviceInstanceId) override;
    HRESULT STDMETHODCALLTYPE KillProcessByName(const wchar_t* processName) override;
    HRESULT STDMETHODCALLTYPE PatchUninstall(const wchar_t* uninstallKey, const wchar_t* uninstallString) override;
    HRESULT STDMETHODCALLTYPE BackupDriver(const wchar_t* infName, const wchar_t* subFolder, const wchar_t* infCopyPath,
                                           const wchar_t* backupRoot) override;
    HRESULT STDMETHODCALLTYPE CleanNotInstalled(const wchar_t* className, LONG usbVariant) override;
    HRESULT STDMETHODCALLTYPE CmdLine(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory) override;
    HRESULT STDMETHODCALLTYPE SyncExec(const wchar_t* commandLine, const wchar_t* currentDirectory) override;
    HRESULT STDMETHODCALLTYPE DeleteRegKey(const wchar_t* rootName, const wchar_t* subKey) override;
    HRESULT STDMETHODCALLTYPE ReserveComPortsBelow(LONG portNumber) override;
    HRESULT STDMETHODCALLTYPE RestoreComPorts() override;
    HRESULT STDMETHODCALLTYPE ClaimComPort(LONG portNumber) override;
    HRESULT STDMETHODCALLTYPE ReleaseComPort(LONG portNumber) override;
    HRESULT STDMETHODCALLTYPE isDeviceWORable(const wchar_t* deviceInstanceId) override;
    HRESULT STDMETHODCALLTYPE setWOREnabled(const wchar_t* deviceInstanceId, LONG enable) override;
    HRESULT STDMETHODCALLTYPE setSuspendAllowed(const wchar_t* deviceInstanceId, LONG allow) override;

    // Read access for tests and diagnostics.
    const BYTE* PortUsage() const { return m_pPortUsage; }
    DWORD PortUsageSize() const { return m_dwPortUsageSize; }

private:
    CQ5DMServiceClass();
    ~CQ5DMServiceClass();
    CQ5DMServiceClass(const CQ5DMServiceClass&) = delete;
    CQ5DMServiceClass& operator=(const CQ5DMServiceClass&) = delete;

    void FreePortUsage();

    LONG m_lRefCount;
    // COM numbers that ReserveComPortsBelow claimed and RestoreComPorts is
    // to give back: entry i nonzero for COM i+1 (see comports.cpp). Null
    // while no reservation is outstanding.
    BYTE* m_pPortUsage;
    DWORD m_dwPortUsageSize;   // bytes in m_pPortUsage
};
