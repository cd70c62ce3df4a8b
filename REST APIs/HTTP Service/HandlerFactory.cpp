// HandlerFactory.cpp - registration and lookup of handler factories.
//
// The map is made on the heap by the first registration and never destroyed:
// a registration from another translation unit's static initialiser may run
// before this file's statics would have been constructed, and a request
// thread may still look up during exit.
#include "REST APIs/HTTP Service/HandlerFactory.h"

namespace {

// Constant-initialised (null) before any dynamic initialiser runs.
RequestHandlerFactoryMap* g_factories = nullptr;

}  // namespace

std::pair<RequestHandlerFactoryMap::iterator, bool> RegisterRequestHandlerFactory(const wchar_t* type,
                                                                                  RequestHandlerFactory factory) {
  if (g_factories == nullptr) g_factories = new RequestHandlerFactoryMap();
  return g_factories->emplace(type != nullptr ? type : L"", factory);
}

std::shared_ptr<CHTTPServer::CRequestHandler>& CreateRequestHandler(std::shared_ptr<CHTTPServer::CRequestHandler>& handler,
                                                                    const wchar_t* type, std::wstring root,
                                                                    std::wstring path) {
  handler.reset();
  if (g_factories == nullptr) return handler;
  const auto found = g_factories->find(std::wstring_view(type != nullptr ? type : L""));
  if (found != g_factories->end() && found->second != nullptr) handler = found->second(root, path);
  return handler;
}
