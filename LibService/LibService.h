// LibService.h - the service framework: everything a service program includes.
#pragma once

#include "LibService/RegistryKey.h"
#include "LibService/Status.h"
