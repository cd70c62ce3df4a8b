// interfaces_test.cpp - the archive interfaces keep their vtable slots and IIDs.
#include "archive/interfaces/ArchiveInterfaces.h"

#include "platform/base/guid.h"
#include "platform/com/testing/vtable_slot.h"

#include <gtest/gtest.h>

#include <string>

using platform::testing::VtableSlot;

namespace {

TEST(ArchiveInterfaces, MethodsSitInTheirSlots) {
  const struct {
    const char* method;
    std::size_t slot;
    std::size_t expected;
  } cases[] = {
      {"IArchiveSystem::Invoke", VtableSlot(&IArchiveSystem::Invoke), 6},
      {"IArchiveSystem::GetVersion", VtableSlot(&IArchiveSystem::GetVersion), 7},
      {"IArchiveSystem::Reserved25", VtableSlot(&IArchiveSystem::Reserved25), 25},
      {"IArchiveSystem::GetArchiveObject", VtableSlot(&IArchiveSystem::GetArchiveObject), 26},
      {"IArchiveSystem::GetArchiveDirectory", VtableSlot(&IArchiveSystem::GetArchiveDirectory), 27},
      {"IArchiveVersion::GetVersionText", VtableSlot(&IArchiveVersion::GetVersionText), 7},
      {"IArchiveObject::GetPath", VtableSlot(&IArchiveObject::GetPath), 8},
      {"IArchiveObject::GetFile", VtableSlot(&IArchiveObject::GetFile), 20},
      {"IArchiveFile::GetFullPath", VtableSlot(&IArchiveFile::GetFullPath), 8},
      {"IArchiveFile::GetKeyString", VtableSlot(&IArchiveFile::GetKeyString), 9},
      {"IArchivePins::GetPin", VtableSlot(&IArchivePins::GetPin), 8},
      {"IArchivePin::GetValue", VtableSlot(&IArchivePin::GetValue), 8},
      {"IArchivePin::SetValue", VtableSlot(&IArchivePin::SetValue), 9},
      {"IArchiveItems::GetItem", VtableSlot(&IArchiveItems::GetItem), 4},
      {"IArchiveFileControl::Control", VtableSlot(&IArchiveFileControl::Control), 3},
      {"IProviderEventSink::ReportEvent", VtableSlot(&IProviderEventSink::ReportEvent), 4},
  };
  for (const auto& c : cases) EXPECT_EQ(c.slot, c.expected) << c.method;
  // Interfaces are released, never deleted: no destructor takes a slot.
  EXPECT_FALSE(std::has_virtual_destructor_v<IArchiveSystem>);
  EXPECT_FALSE(std::has_virtual_destructor_v<IArchiveFileControl>);
  EXPECT_EQ(sizeof(IArchiveIdentity), sizeof(void*));
}

TEST(ArchiveInterfaces, IdentifiersAreTheArchivesOwn) {
  const struct {
    const GUID& id;
    const wchar_t* text;
  } cases[] = {
      {CLSID_ArchiveSystem, L"{B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C}"},
      {IID_IArchiveSystem, L"{4946E6C4-BDBE-4757-9531-AF1ECDF33C38}"},
      {IID_IArchiveFile, L"{F42A211B-627F-4E19-8584-2DF09F09144C}"},
      {IID_IArchivePins, L"{F93B590E-68A4-443A-AB32-3E36A12A8D7A}"},
      {IID_IArchivePin, L"{358FFC06-3FE2-4F07-BD2D-9F2F68891654}"},
      {IID_IArchiveIdentity, L"{C1914AFE-74E4-42C3-A85C-D14B7B6319B1}"},
      {IID_IArchiveItems, L"{FE5359F0-946A-44FC-984A-8D283AC1A0A0}"},
      {IID_IArchiveFileControl, L"{9EF9DA64-4DEB-4490-B98F-50BD756861CE}"},
      {IID_IProviderEventSink, L"{169C6150-CBCF-4CE9-9A5B-D75132234878}"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::FormatGuid(c.id), c.text);
  EXPECT_EQ(&IidOf<IArchiveItems>(), &IID_IArchiveItems);
}

}  // namespace
