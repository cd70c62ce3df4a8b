// LibService.h - the service framework: everything a service program includes.
#pragma once

#include "LibService/RegistryKey.h"
#include "LibService/Status.h"
#include "LibService/ServiceApp.h"
#include "LibService/ServiceLogger.h"
#include "LibService/ThreadSet.h"
#include "LibService/WinService.h"
