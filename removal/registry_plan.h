// The package's registry keys, deepest first within each group.
#ifndef TRQ_REMOVAL_REGISTRY_PLAN_H
#define TRQ_REMOVAL_REGISTRY_PLAN_H

#include "device/device.h"

enum KeyCondition {
    kAlways,
    kIfRemoveSettings,       // per-user settings of the components
    kIfRemoveInstallRecord,  // the package manager's install registration
};

struct KeyRow {
    HKEY root;
    const WCHAR* path;
    KeyCondition condition;
};

extern const KeyRow kRegistryPlan[];
extern const int kRegistryPlanRows;

void RemoveRegistryKeys(bool removeSettings, bool removeInstallRecord);

#endif
