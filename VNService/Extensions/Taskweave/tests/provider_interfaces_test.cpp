// provider_interfaces_test.cpp - the provider contract keeps its vtable slots and IIDs.
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"
#include "VNService/Extensions/Taskweave/ProviderInterfaces.h"

#include "platform/base/guid.h"
#include "platform/com/testing/vtable_slot.h"

#include <gtest/gtest.h>

using platform::testing::VtableSlot;

namespace {

TEST(ProviderInterfaces, MethodsSitInTheirSlots) {
  const struct {
    const char* method;
    std::size_t slot;
    std::size_t expected;
  } cases[] = {
      {"IProviderSupport::PostProcess", VtableSlot(&IProviderSupport::PostProcess), 3},
      {"IProviderSupport::Unpin", VtableSlot(&IProviderSupport::Unpin), 4},
      {"IProviderSupport::OperationComplete", VtableSlot(&IProviderSupport::OperationComplete), 5},
      {"IProviderSupport::LogMessage", VtableSlot(&IProviderSupport::LogMessage), 6},
      {"IProviderSupport::ReportEvent", VtableSlot(&IProviderSupport::ReportEvent), 7},
      {"IPostProcessParameters::SetMode", VtableSlot(&IPostProcessParameters::SetMode), 3},
      {"IPostProcessParameters::GetOperations", VtableSlot(&IPostProcessParameters::GetOperations), 4},
      {"IPostProcessParameters::GetItem", VtableSlot(&IPostProcessParameters::GetItem), 5},
      {"IPostProcessOperations::Next", VtableSlot(&IPostProcessOperations::Next), 3},
      {"IPostProcessOperation::GetName", VtableSlot(&IPostProcessOperation::GetName), 3},
      {"IPostProcessOperation::GetValue", VtableSlot(&IPostProcessOperation::GetValue), 4},
      {"IExtensionInit::Invoke", VtableSlot(&IExtensionInit::Invoke), 6},
      {"IExtensionInit::Initialise", VtableSlot(&IExtensionInit::Initialise), 7},
      {"IProviderOperations::QueryCapacity", VtableSlot(&IProviderOperations::QueryCapacity), 3},
      {"IProviderOperations::ScheduleOperation", VtableSlot(&IProviderOperations::ScheduleOperation), 4},
      {"IProviderOperations::ExecuteOperation", VtableSlot(&IProviderOperations::ExecuteOperation), 5},
      {"IProviderOperations::Reserved6", VtableSlot(&IProviderOperations::Reserved6), 6},
      // The worker's own face: the interface's slots, then its destructor.
      {"CExtensionWorker::PostProcess", VtableSlot(&CExtensionWorker::PostProcess), 3},
      {"CExtensionWorker::ReportEvent", VtableSlot(&CExtensionWorker::ReportEvent), 7},
  };
  for (const auto& c : cases) EXPECT_EQ(c.slot, c.expected) << c.method;
  EXPECT_FALSE(std::has_virtual_destructor_v<IProviderSupport>);
  EXPECT_FALSE(std::has_virtual_destructor_v<IProviderOperations>);
  // ULONG is the contract's 32-bit unsigned long.
  EXPECT_EQ(sizeof(ULONG), 4u);
}

TEST(ProviderInterfaces, IdentifiersAreTheContractsOwn) {
  const struct {
    const GUID& id;
    const wchar_t* text;
  } cases[] = {
      {IID_IProviderSupport, L"{A3C78B38-31D6-4CD7-AC6E-92FF0BD5B31A}"},
      {IID_IPostProcessParameters, L"{0F44FAE1-FDD0-41CC-9DF9-074C592A8D9D}"},
      {IID_IPostProcessOperations, L"{F74250BD-1941-41A5-B70D-888F199D99C0}"},
      {IID_IPostProcessOperation, L"{4756336E-C873-4FC9-9E9D-293FE421BA7C}"},
      {IID_IExtensionInit, L"{25D54CDB-E881-4F04-8874-2CD91D451559}"},
      {IID_IProviderOperations, L"{387722D9-7DA2-4609-BB5B-953CEC675068}"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::FormatGuid(c.id), c.text);
}

}  // namespace
