// no_export_server.cpp - a shared library without DllGetClassObject.
#include "platform/com/com.h"

VN_DLL_EXPORT HRESULT DllCanUnloadNow() { return S_OK; }
