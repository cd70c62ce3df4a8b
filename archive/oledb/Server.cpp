// Server.cpp - the provider's in-process server exports: class object, unload test, registration.
//
// Registered by CLSID and by the ProgID "Vantrel.OLEDBProvider", which is
// what the "Provider" keyword of a connection string names.
#include "archive/oledb/Provider.h"

#include "archive/system/ComObject.h"
#include "platform/com/class_factory.h"

namespace vnarchive {

std::atomic<long>& LiveObjects() {
  static std::atomic<long> count{0};
  return count;
}
std::atomic<long>& ServerLocks() {
  static std::atomic<long> count{0};
  return count;
}

}  // namespace vnarchive

namespace vnoledb {
namespace {

platform::StaticClassFactory g_factory(CreateDataSource, vnarchive::ServerLocks());

const wchar_t kRegistrationScript[] =
    L"HKCR\n"
    L"{\n"
    L"  ForceRemove Vantrel.OLEDBProvider = s 'Vantrel OLE DB Provider'\n"
    L"  {\n"
    L"    CLSID = s '{6A3F2C1E-8B4D-4E7A-9C35-2F1B0D7E4A91}'\n"
    L"  }\n"
    L"  NoRemove CLSID\n"
    L"  {\n"
    L"    ForceRemove {6A3F2C1E-8B4D-4E7A-9C35-2F1B0D7E4A91} = s 'Vantrel OLE DB Provider'\n"
    L"    {\n"
    L"      ProgID = s 'Vantrel.OLEDBProvider'\n"
    L"      InprocServer32 = s '%MODULE%'\n"
    L"      {\n"
    L"        val ThreadingModel = s 'Both'\n"
    L"      }\n"
    L"    }\n"
    L"  }\n"
    L"}\n";

platform::InprocServer g_server({{&CLSID_VantrelOLEDBProvider, &g_factory}}, vnarchive::LiveObjects(),
                               vnarchive::ServerLocks(), kRegistrationScript);

}  // namespace
}  // namespace vnoledb

VN_INPROC_SERVER_EXPORTS(vnoledb::g_server)
