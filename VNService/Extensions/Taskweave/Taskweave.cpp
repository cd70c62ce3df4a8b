// Taskweave.cpp - the program Taskweave: the one application object and main.
//
// "-install" registers the service "Taskweave" ("Vantrel Archive
// Extensions") and its event source; the control manager then starts it.
#include "VNService/Extensions/Taskweave/TaskweaveService.h"

CTaskweaveService theApp;

VANTREL_SERVICE_MAIN()
