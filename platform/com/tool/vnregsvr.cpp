// vnregsvr.cpp - registers and unregisters COM libraries through their own exports.
//
//   vnregsvr [/u] [/s] [/n] [/i[:cmdline]] module...
//
// The command line of the Windows registration tool: each module is loaded
// and its DllRegisterServer (with /u DllUnregisterServer) is called; /i also
// calls DllInstall(TRUE, cmdline) after it (with /u, DllInstall(FALSE,
// cmdline) before it); /n leaves out the register call, so /n /i calls
// DllInstall alone. Flags may be written /x or -x in either case. Since Linux
// paths start with "/", only the flags above are flags; any other word is a
// module (and "--" ends the flags). Modules are processed in order and the
// first failure ends the run with its exit code:
//   0 success   1 bad arguments   2 COM could not be initialised
//   3 a module failed to load   4 an entry point is missing   5 a call failed
// A failure is always reported on standard error, saying which module, which
// export and which HRESULT (with its text); /s only silences the success
// message. The registry written is the one VANTREL_REGISTRY names.
#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/com/com.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

enum ExitCode { kSuccess = 0, kBadArguments = 1, kComFailed = 2, kLoadFailed = 3, kNoEntry = 4, kCallFailed = 5 };

constexpr char kUsage[] =
    "Usage: vnregsvr [/u] [/s] [/n] [/i[:cmdline]] module...\n"
    "  /u          unregister: call DllUnregisterServer\n"
    "  /s          silent: print nothing when all went well\n"
    "  /i[:cmd]    also call DllInstall with cmd (TRUE to install, FALSE with /u)\n"
    "  /n          do not call DllRegisterServer or DllUnregisterServer (needs /i)\n";

struct Options {
  bool unregister = false;
  bool silent = false;
  bool install = false;
  bool noRegister = false;
  std::wstring installCommand;
  std::vector<std::string> modules;
};

int BadArguments(const std::string& problem) {
  std::fprintf(stderr, "vnregsvr: %s\n%s", problem.c_str(), kUsage);
  return kBadArguments;
}

bool EqualsFlag(std::string_view word, std::string_view letter) {
  return word.size() == 2 && (word[0] == '/' || word[0] == '-') && platform::EqualsNoCaseA(word.substr(1), letter);
}

// A word of the flags above sets its option and answers true.
bool ReadFlag(std::string_view word, Options& o) {
  if (EqualsFlag(word, "u")) return o.unregister = true;
  if (EqualsFlag(word, "s")) return o.silent = true;
  if (EqualsFlag(word, "n")) return o.noRegister = true;
  if (EqualsFlag(word, "i")) return o.install = true;
  if (word.size() > 2 && EqualsFlag(word.substr(0, 2), "i") && word[2] == ':') {
    o.install = true;
    o.installCommand = platform::WideFromUtf8(word.substr(3));
    return true;
  }
  return false;
}

// 0 when the command line is good, else the exit code (after the message).
int ParseArguments(int argc, char** argv, Options& o) {
  bool flagsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (!flagsEnded && word == "--") {
      flagsEnded = true;
    } else if (flagsEnded || !ReadFlag(word, o)) {
      if (!flagsEnded && word.size() > 1 && word[0] == '-') return BadArguments("Unrecognized flag: " + std::string(word));
      o.modules.emplace_back(word);
    }
  }
  if (o.modules.empty()) return BadArguments("No module name specified.");
  if (o.noRegister && !o.install) return BadArguments("/n must be used with /i.");
  return kSuccess;
}

// One export to call, in order.
struct Call {
  const char* name;
  bool isInstall;
};

std::vector<Call> CallsFor(const Options& o) {
  std::vector<Call> calls;
  const Call registration{o.unregister ? "DllUnregisterServer" : "DllRegisterServer", false};
  const Call install{"DllInstall", true};
  if (o.unregister && o.install) calls.push_back(install);  // undo the install before the registration
  if (!o.noRegister) calls.push_back(registration);
  if (!o.unregister && o.install) calls.push_back(install);
  return calls;
}

std::string HresultText(HRESULT hr) {
  std::string text = platform::Utf8FromWide(platform::SystemMessageText(static_cast<DWORD>(hr)));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Resolves every export before calling any, so a module without one of them
// is left untouched.
int CallExports(void* module, const std::string& path, const Options& o, const std::vector<Call>& calls) {
  std::vector<void*> entries;
  for (const Call& call : calls) {
    void* entry = dlsym(module, call.name);
    if (entry == nullptr) {
      std::fprintf(stderr, "vnregsvr: The module \"%s\" was loaded but the entry-point %s was not found.\n",
                   path.c_str(), call.name);
      return kNoEntry;
    }
    entries.push_back(entry);
  }
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const HRESULT hr = calls[i].isInstall
                           ? reinterpret_cast<PFN_DllInstall>(entries[i])(o.unregister ? FALSE : TRUE,
                                                                          o.installCommand.c_str())
                           : reinterpret_cast<PFN_DllRegisterServer>(entries[i])();
    if (FAILED(hr)) {
      std::fprintf(stderr, "vnregsvr: The module \"%s\" was loaded but the call to %s failed with error code 0x%08X.\n",
                   path.c_str(), calls[i].name, static_cast<unsigned>(hr));
      const std::string text = HresultText(hr);
      if (!text.empty()) std::fprintf(stderr, "%s\n", text.c_str());
      return kCallFailed;
    }
  }
  return kSuccess;
}

int ProcessModule(const std::string& given, const Options& o) {
  // A library registers the path it was loaded from, so load it by an
  // absolute one (a bare name would also send dlopen down the library path).
  std::error_code ec;
  const std::string path = std::filesystem::absolute(given, ec).string();
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "vnregsvr: The module \"%s\" failed to load.\n%s\n", path.c_str(), dlerror());
    return kLoadFailed;
  }
  const std::vector<Call> calls = CallsFor(o);
  const int result = CallExports(module, path, o, calls);
  dlclose(module);
  if (result == kSuccess && !o.silent) {
    std::string names;
    for (const Call& call : calls) names += (names.empty() ? "" : " and ") + std::string(call.name);
    std::printf("%s in %s succeeded.\n", names.c_str(), path.c_str());
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int bad = ParseArguments(argc, argv, options); bad != kSuccess) return bad;
  // As on Windows, registration runs in a single-threaded apartment.
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    std::fprintf(stderr, "vnregsvr: COM could not be initialised: 0x%08X.\n", static_cast<unsigned>(hr));
    return kComFailed;
  }
  int result = kSuccess;
  for (const std::string& module : options.modules) {
    result = ProcessModule(module, options);
    if (result != kSuccess) break;
  }
  CoUninitialize();
  return result;
}
