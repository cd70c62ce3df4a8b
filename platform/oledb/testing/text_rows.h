// text_rows.h - a consumer's reading of a whole rowset as text, for tests and benchmarks.
//
// Every column is bound as a WSTR by reference (the provider's copy, freed
// here), so any provider that hands its values over as text can be read
// without knowing its columns' types.
#pragma once

#include "platform/com/comptr.h"
#include "platform/oledb/oledb.h"

#include <cstddef>
#include <vector>

namespace platform::testing {

// Calls onRow(values) for each row, values[i] the text of column i + 1 or
// null for NULL (valid during the call). columnTypes, when given, gets the
// columns' declared types. S_OK, or the first failing call's HRESULT.
template <class OnRow>
HRESULT ForEachTextRow(IRowset* rowset, OnRow onRow, std::vector<DBTYPE>* columnTypes = nullptr) {
  platform::ComPtr<IColumnsInfo> info;
  HRESULT hr = rowset->QueryInterface(IID_PPV_ARGS(info.GetAddressOf()));
  if (FAILED(hr)) return hr;
  DBORDINAL count = 0;
  DBCOLUMNINFO* columns = nullptr;
  OLECHAR* names = nullptr;
  if (hr = info->GetColumnInfo(&count, &columns, &names); FAILED(hr)) return hr;
  if (columnTypes != nullptr) {
    columnTypes->clear();
    for (DBORDINAL i = 0; i < count; ++i) columnTypes->push_back(columns[i].wType);
  }
  CoTaskMemFree(columns);
  CoTaskMemFree(names);
  struct Slot {
    wchar_t* value;
    DBLENGTH length;
    DBSTATUS status;
  };
  std::vector<DBBINDING> bindings(count);
  for (DBORDINAL i = 0; i < count; ++i) {
    bindings[i] = DBBINDING{};
    bindings[i].iOrdinal = i + 1;
    bindings[i].obValue = i * sizeof(Slot) + offsetof(Slot, value);
    bindings[i].obLength = i * sizeof(Slot) + offsetof(Slot, length);
    bindings[i].obStatus = i * sizeof(Slot) + offsetof(Slot, status);
    bindings[i].dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
    bindings[i].wType = DBTYPE_WSTR | DBTYPE_BYREF;
  }
  platform::ComPtr<IAccessor> accessors;
  if (hr = rowset->QueryInterface(IID_PPV_ARGS(accessors.GetAddressOf())); FAILED(hr)) return hr;
  HACCESSOR accessor = 0;
  if (hr = accessors->CreateAccessor(DBACCESSOR_ROWDATA, count, bindings.data(), 0, &accessor, nullptr); FAILED(hr))
    return hr;
  std::vector<Slot> buffer(count);
  std::vector<const wchar_t*> values(count);
  for (;;) {
    HROW handle = 0;
    HROW* handles = &handle;
    DBCOUNTITEM obtained = 0;
    if (rowset->GetNextRows(0, 0, 1, &obtained, &handles) != S_OK || obtained != 1) break;
    hr = rowset->GetData(handle, accessor, buffer.data());
    if (SUCCEEDED(hr)) {
      for (DBORDINAL i = 0; i < count; ++i)
        values[i] = buffer[i].status == DBSTATUS_S_ISNULL ? nullptr : buffer[i].value;
      onRow(values);
    }
    for (auto& slot : buffer) {
      CoTaskMemFree(slot.value);
      slot.value = nullptr;
    }
    rowset->ReleaseRows(1, &handle, nullptr, nullptr, nullptr);
    if (FAILED(hr)) break;
  }
  accessors->ReleaseAccessor(accessor, nullptr);
  return hr;
}

}  // namespace platform::testing
