// Engine state the program binds once and keeps for the whole run.
#pragma once
#include <vector>

class IRecoveryManagement;
class IDevice;

const int kDeviceCapacity = 100;

extern IRecoveryManagement* g_RecoveryManagement;
// Listed devices up to the first null; a device's index here is its device index.
extern IDevice* g_Devices[kDeviceCapacity];
// Devices of the partitions the lost-partition search found, in the order they arrived.
extern std::vector<IDevice*> g_FoundPartitions;
