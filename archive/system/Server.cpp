// Server.cpp - the in-process server's exports: class object, unload test and registration.
//
// The library registers itself under HKCR\CLSID\{B0E4A6E9-...}\InprocServer32
// with its own path, so CoCreateInstance of the archive system object loads
// it. The class factory is one static object that lives as long as the
// library; only the objects it makes and LockServer keep the library loaded.
#include "archive/system/ArchiveObjects.h"

#include "platform/com/class_factory.h"

namespace vnarchive {
namespace {

HRESULT CreateSystem(REFIID riid, void** ppv) {
  SystemObject* system = new SystemObject();
  const HRESULT hr = system->QueryInterface(riid, ppv);
  system->Release();
  return hr;
}

platform::StaticClassFactory g_factory(CreateSystem, ServerLocks());

const wchar_t kRegistrationScript[] =
    L"HKCR\n"
    L"{\n"
    L"  NoRemove CLSID\n"
    L"  {\n"
    L"    ForceRemove {B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C} = s 'Corvellane Archive System'\n"
    L"    {\n"
    L"      InprocServer32 = s '%MODULE%'\n"
    L"      {\n"
    L"        val ThreadingModel = s 'Both'\n"
    L"      }\n"
    L"    }\n"
    L"  }\n"
    L"}\n";

platform::InprocServer g_server({{&CLSID_ArchiveSystem, &g_factory}}, LiveObjects(), ServerLocks(),
                               kRegistrationScript);

}  // namespace
}  // namespace vnarchive

VN_INPROC_SERVER_EXPORTS(vnarchive::g_server)
