#include "frontend/globals.h"

IRecoveryManagement* g_RecoveryManagement = nullptr;
IDevice* g_Devices[kDeviceCapacity] = {};
std::vector<IDevice*> g_FoundPartitions;
