#include "deviceapi/iofactory.h"

CIoFactory::CIoFactory() {}
CIoFactory::~CIoFactory() {}
