// volume.cpp - drive letters from the drive map, volume root handles, and
// control requests carried to a volume's endpoint over a pipe.
#include "platform/volume/volume.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/pipe/pipe.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

namespace platform {

namespace {

constexpr DWORD kReplyWaitMs = 60000;  // an endpoint that holds a request longer has failed

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// "X:\" or "X:" -> upper-case letter, else 0.
wchar_t RootLetter(LPCWSTR root) {
  if (root == nullptr || !std::iswalpha(root[0]) || root[1] != L':') return 0;
  if (root[2] != 0 && !((root[2] == L'\\' || root[2] == L'/') && root[3] == 0)) return 0;
  return static_cast<wchar_t>(std::towupper(root[0]));
}

bool RootExists(wchar_t letter) {
  const wchar_t root[] = {letter, L':', L'\\', 0};
  const DWORD attributes = GetFileAttributesW(root);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// An opened volume root; m_lock keeps one request at a time on the endpoint.
class VolumeRoot : public KernelObject {
 public:
  VolumeRoot(HANDLE folder, HANDLE endpoint)
      : m_folder(folder), m_endpoint(endpoint), m_cancel(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&m_lock);
  }
  ~VolumeRoot() override {
    CloseHandle(m_folder);
    if (m_endpoint != nullptr) CloseHandle(m_endpoint);
    CloseHandle(m_cancel);
    DeleteCriticalSection(&m_lock);
  }
  DWORD Transact(const std::vector<BYTE>& request, std::vector<BYTE>& reply);
  HANDLE m_folder;    // the root folder, opened through platform/fs
  HANDLE m_endpoint;  // null when no endpoint serves the volume
  HANDLE m_cancel;    // manual-reset, set by CancelVolumeIo
  CRITICAL_SECTION m_lock;

 private:
  DWORD Wait(OVERLAPPED& ov, DWORD& bytes);
};

DWORD VolumeRoot::Wait(OVERLAPPED& ov, DWORD& bytes) {
  HANDLE waits[] = {ov.hEvent, m_cancel};
  if (WaitForMultipleObjects(2, waits, FALSE, kReplyWaitMs) != WAIT_OBJECT_0) CancelIoEx(m_endpoint, &ov);
  return GetOverlappedResult(m_endpoint, &ov, &bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
}

DWORD VolumeRoot::Transact(const std::vector<BYTE>& request, std::vector<BYTE>& reply) {
  CriticalSectionLock hold(m_lock);
  if (WaitForSingleObject(m_cancel, 0) == WAIT_OBJECT_0) return ERROR_OPERATION_ABORTED;
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov;
  ov.hEvent = event.get();
  DWORD bytes = 0;
  DWORD error = WriteFile(m_endpoint, request.data(), static_cast<DWORD>(request.size()), &bytes, &ov) ? ERROR_SUCCESS
                                                                                                       : GetLastError();
  if (error == ERROR_IO_PENDING) error = Wait(ov, bytes);
  if (error != ERROR_SUCCESS) return error;
  std::size_t have = 0;
  reply.assign(4096, 0);
  for (;;) {
    ResetEvent(event.get());
    ov = OVERLAPPED{};
    ov.hEvent = event.get();
    error = ReadFile(m_endpoint, reply.data() + have, static_cast<DWORD>(reply.size() - have), &bytes, &ov)
                ? ERROR_SUCCESS
                : GetLastError();
    if (error == ERROR_IO_PENDING) error = Wait(ov, bytes);
    have += bytes;
    if (error != ERROR_MORE_DATA) break;
    reply.resize(reply.size() * 2);
  }
  reply.resize(have);
  return error;
}

VolumeRoot* VolumeFromHandle(HANDLE handle) { return dynamic_cast<VolumeRoot*>(ObjectFromHandle(handle)); }

std::vector<BYTE> EndpointRequest(DWORD operation, DWORD code, DWORD capacity, const void* input, DWORD inputLength) {
  std::vector<BYTE> request(VOLUME_ENDPOINT_REQUEST_HEADER + static_cast<std::size_t>(inputLength));
  const DWORD header[] = {operation, code, capacity};
  std::memcpy(request.data(), header, sizeof header);
  if (inputLength != 0) std::memcpy(request.data() + VOLUME_ENDPOINT_REQUEST_HEADER, input, inputLength);
  return request;
}

DWORD ReplyCode(const std::vector<BYTE>& reply) {
  if (reply.size() < VOLUME_ENDPOINT_REPLY_HEADER) return ERROR_INVALID_DATA;
  DWORD code;
  std::memcpy(&code, reply.data(), sizeof code);
  return code;
}

}  // namespace

std::wstring VolumeEndpointName(wchar_t letter) {
  return std::wstring(L"\\\\.\\pipe\\Vantrel.Volume.") + static_cast<wchar_t>(std::towupper(letter));
}

std::vector<DriveMapping> ReadDriveMap() {
  std::vector<DriveMapping> map;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriveMapKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return map;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    DWORD type = 0;
    if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) break;
    const wchar_t letter = RootLetter(name);
    std::wstring folder;
    if (letter == 0 || nameLength != 2 || RegReadString(key, name, folder, &type) != ERROR_SUCCESS || type != REG_SZ ||
        folder.empty())
      continue;
    map.push_back({letter, Utf8FromWide(folder)});
  }
  RegCloseKey(key);
  std::sort(map.begin(), map.end(), [](const DriveMapping& a, const DriveMapping& b) { return a.letter < b.letter; });
  return map;
}

BOOL CancelVolumeIo(HANDLE volume) {
  VolumeRoot* root = VolumeFromHandle(volume);
  if (root == nullptr) return Fail(ERROR_INVALID_HANDLE);
  SetEvent(root->m_cancel);
  return TRUE;
}

}  // namespace platform

DWORD GetLogicalDriveStringsW(DWORD size, LPWSTR buffer) {
  std::wstring roots;
  for (const platform::DriveMapping& m : platform::ReadDriveMap()) {
    roots += m.letter;
    roots += L":\\";
    roots += L'\0';
  }
  const DWORD needed = static_cast<DWORD>(roots.size()) + 1;
  if (buffer == nullptr || size < needed) return needed;
  std::copy(roots.begin(), roots.end(), buffer);
  buffer[roots.size()] = 0;
  return static_cast<DWORD>(roots.size());
}

UINT GetDriveTypeW(LPCWSTR root) {
  const wchar_t letter = platform::RootLetter(root);
  return letter != 0 && platform::RootExists(letter) ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

HANDLE OpenVolumeRootW(LPCWSTR root, DWORD access, DWORD shareMode, DWORD creationDisposition, DWORD flags) {
  const wchar_t letter = platform::RootLetter(root);
  if (letter == 0) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE folder = CreateFileW(root, access, shareMode, nullptr, creationDisposition, flags, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  HANDLE endpoint = CreateFileW(platform::VolumeEndpointName(letter).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (endpoint != INVALID_HANDLE_VALUE && !SetNamedPipeHandleState(endpoint, &mode, nullptr, nullptr)) {
    CloseHandle(endpoint);
    endpoint = INVALID_HANDLE_VALUE;
  }
  auto* volume = new platform::VolumeRoot(folder, endpoint == INVALID_HANDLE_VALUE ? nullptr : endpoint);
  HANDLE handle = platform::MakeHandle(volume);
  if (volume->m_endpoint == nullptr) return handle;
  std::vector<BYTE> reply;
  DWORD error = volume->Transact(platform::EndpointRequest(platform::VOLUME_ENDPOINT_OPEN, 0, 0, nullptr, 0), reply);
  if (error == ERROR_SUCCESS) error = platform::ReplyCode(reply);
  if (error == ERROR_SUCCESS) return handle;
  CloseHandle(handle);
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

BOOL DeviceIoControl(HANDLE volume, DWORD controlCode, const void* input, DWORD inputLength, void* output,
                     DWORD outputCapacity, DWORD* bytesReturned, OVERLAPPED* overlapped) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (overlapped != nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
  platform::VolumeRoot* root = platform::VolumeFromHandle(volume);
  if (root == nullptr) return platform::Fail(ERROR_INVALID_HANDLE);
  if (root->m_endpoint == nullptr) return platform::Fail(ERROR_INVALID_FUNCTION);
  std::vector<BYTE> reply;
  DWORD error = root->Transact(
      platform::EndpointRequest(platform::VOLUME_ENDPOINT_CONTROL, controlCode, outputCapacity, input, inputLength),
      reply);
  if (error == ERROR_SUCCESS) error = platform::ReplyCode(reply);
  if (error != ERROR_SUCCESS) return platform::Fail(error);
  const std::size_t length = reply.size() - platform::VOLUME_ENDPOINT_REPLY_HEADER;
  const DWORD copied = static_cast<DWORD>(std::min<std::size_t>(length, outputCapacity));
  if (copied != 0 && output != nullptr)
    std::memcpy(output, reply.data() + platform::VOLUME_ENDPOINT_REPLY_HEADER, copied);
  if (bytesReturned != nullptr) *bytesReturned = copied;
  return copied < length ? platform::Fail(ERROR_MORE_DATA) : TRUE;
}
