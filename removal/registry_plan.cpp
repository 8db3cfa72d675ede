#include "removal/registry_plan.h"

const KeyRow kRegistryPlan[] = {
    // The .trp document type and its shell class.
    {HKEY_CLASSES_ROOT, TEXT("trpfile\\shell\\open\\command"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT("trpfile\\shell\\open"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT("trpfile\\shell"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT("trpfile\\DefaultIcon"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT("trpfile"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT(".trp"), kAlways},
    // The reminder service, registered with the service host.
    {HKEY_LOCAL_MACHINE, TEXT("Services\\TRQRem"), kAlways},
    {HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQRemindSvc"), kIfRemoveSettings},
    // The shell New-menu extension and its quick task-entry classes.
    {HKEY_LOCAL_MACHINE,
     TEXT("Software\\Microsoft\\Shell\\Extensions\\NewMenu\\{5A0C3E71-9B4D-4E28-A6F1-07D3C8B2E95F}"),
     kAlways},
    {HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet\\CLSID"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet\\CurVer"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet.1\\CLSID"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet.1\\CurVer"), kAlways},
    {HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet.1"), kAlways},
    {HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQNewMenu"), kIfRemoveSettings},
    // The synchronisation provider: mappings, then its registration.
    {HKEY_CURRENT_USER, TEXT("Software\\TRQ\\Sync\\Mappings\\1"), kAlways},
    {HKEY_CURRENT_USER, TEXT("Software\\TRQ\\Sync\\Mappings\\2"), kAlways},
    {HKEY_CURRENT_USER, TEXT("Software\\TRQ\\Sync\\Mappings"), kAlways},
    {HKEY_CURRENT_USER, TEXT("Software\\TRQ\\Sync"), kAlways},
    {HKEY_LOCAL_MACHINE, TEXT("Windows CE Services\\Synchronization\\Objects\\TRQSync"), kAlways},
    // The main program's settings.
    {HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQ\\MainForm"), kIfRemoveSettings},
    {HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQ\\Appearance"), kIfRemoveSettings},
    {HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQ"), kIfRemoveSettings},
    // The package manager's records of the installation.
    {HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Apps\\Vantrelle PocketPC Edition"), kIfRemoveInstallRecord},
    {HKEY_LOCAL_MACHINE, TEXT("Security\\AppInstall\\Vantrelle PocketPC Edition"),
     kIfRemoveInstallRecord},
    // "Software\TRQ" itself stays: other programs of the maker may share it.
};

const int kRegistryPlanRows = sizeof kRegistryPlan / sizeof kRegistryPlan[0];

void RemoveRegistryKeys(bool removeSettings, bool removeInstallRecord)
{
    for (int i = 0; i < kRegistryPlanRows; ++i) {
        const KeyRow& row = kRegistryPlan[i];
        if (row.condition == kIfRemoveSettings && !removeSettings) continue;
        if (row.condition == kIfRemoveInstallRecord && !removeInstallRecord) continue;
        RegDeleteKeyW(row.root, row.path);  // a key that will not go is no reason to stop
    }
}
